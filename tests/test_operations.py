"""What the guarantees mean in operation: exit, shutdown, failing logging, abandoned scans.

Each test pins down a fact docs/operations.md states, so that a
change of behaviour shows up here before it surprises an operator.
"""

from __future__ import annotations

import io
import logging
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import BACKSTOP, GC, LONG_MS, TIME_SCALE, Guard

REFUSAL = "Refused."


def run_python(code, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120 * TIME_SCALE, **kwargs)


def test_exit_waits_for_an_abandoned_scan(tmp_path):
    # The scan overruns its limit and the main thread ends; the interpreter
    # joins the pool's workers, so the scan finishes before the process ends.
    marker = tmp_path / "finished"
    done = run_python(f"""
        import time
        from norv.core.coordinator import GovernanceCoordinator
        class Slow:
            def scan(self, content, metadata=None):
                time.sleep(1.0)
                open({str(marker)!r}, "w").close()
                return content
        c = GovernanceCoordinator(10)
        c.register_input_guard(Slow())
        print(c.process_input("hello"))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "hello\n" and '"event": "TIMEOUT"' in done.stderr
    assert marker.exists()


def test_sigterm_ends_a_process_held_by_a_stuck_scan():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import threading
        from norv.core.coordinator import GovernanceCoordinator
        class Stuck:
            def scan(self, content, metadata=None):
                threading.Event().wait()
        c = GovernanceCoordinator(10)
        c.register_input_guard(Stuck())
        c.process_input("hello")
        print("ready", flush=True)
    """)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    with child:  # closes the pipe
        try:
            assert child.stdout.readline() == "ready\n"
            child.send_signal(signal.SIGTERM)
            assert child.wait(timeout=30 * TIME_SCALE) == -signal.SIGTERM
        finally:
            child.kill()
            child.wait()


@pytest.mark.parametrize("when", ["atexit", "daemon-thread"])
def test_calls_after_shutdown_began_pass_with_only_the_last_resort_line(when):
    done = run_python(f"""
        import atexit, sys, threading, time
        from norv.core.coordinator import GovernanceCoordinator
        class Refuse:
            refusal_message = "no"
            def scan(self, content, metadata=None):
                return "no"
        c = GovernanceCoordinator(10000)
        c.register_input_guard(Refuse())
        assert c.process_input("before") == "no"
        def late():
            print("late:", c.process_input("attack"), flush=True)
        if {when!r} == "atexit":
            atexit.register(late)
        else:
            import concurrent.futures.thread as cft
            # A host thread that calls once the interpreter has begun to shut down.
            started = threading.Event()
            def daemon():
                started.set()
                while not cft._shutdown:
                    time.sleep(0.001)
                late()
            threading.Thread(target=daemon, daemon=True).start()
            started.wait()
            # Give the daemon thread the lock while the pool is shut down at exit.
            atexit.register(time.sleep, 0.5)
    """)
    assert done.returncode == 0, done.stderr
    critical, late = done.stdout.splitlines()
    assert critical.startswith("NORV CRITICAL FAILURE: cannot schedule new futures after")
    assert late == "late: attack"
    assert done.stderr.count('"event"') == 1  # only the call before exit wrote an event


class RaisingFilter(logging.Filter):
    def filter(self, record):
        raise RuntimeError("filter broke")


def test_a_raising_logging_filter_turns_a_refusal_into_a_pass(capsys):
    coord = GC(LONG_MS)
    coord.register_input_guard(Guard.returning(REFUSAL, refusal_message=REFUSAL))
    handler = logging.StreamHandler(io.StringIO())
    handler.addFilter(RaisingFilter())
    logger = logging.getLogger("norv.coordinator")
    logger.addHandler(handler)
    try:
        assert coord.process_input("an attack") == "an attack"
    finally:
        logger.removeHandler(handler)
        coord._executor.shutdown(wait=False)
    assert capsys.readouterr().out == "NORV CRITICAL FAILURE: filter broke\n"


def test_guard_code_outside_scan_runs_on_the_calling_thread():
    # Only scan() is under the time limit; the guard's truth value and its
    # refusal_message are asked on the caller's thread.
    seen = {}

    class Guarded(Guard):
        def __bool__(self):
            seen["bool"] = threading.current_thread()
            return True

        @property
        def refusal_message(self):
            seen["refusal_message"] = threading.current_thread()
            return REFUSAL

    coord = GC(LONG_MS)
    coord.register_input_guard(Guarded(lambda c, m: REFUSAL))
    try:
        assert coord.process_input("x") == REFUSAL
    finally:
        coord._executor.shutdown(wait=False)
    assert seen == {"bool": threading.current_thread(), "refusal_message": threading.current_thread()}


def test_scans_queued_behind_hung_ones_run_later_for_nobody():
    # Four hung scans hold the workers; the next calls time out in the queue.
    # Their scans are not cancelled: once the hang clears they all run, for
    # callers that have long moved on, ahead of any fresh call.
    release = threading.Event()
    scanned = []

    def behaviour(content, metadata):
        scanned.append(content)
        if content.startswith("hang"):
            release.wait(BACKSTOP)
        return content

    coord = GC(20)
    coord.register_input_guard(Guard(behaviour))
    try:
        for i in range(4):
            coord.process_input(f"hang {i}")
        stale = [f"stale {i}" for i in range(6)]
        assert [coord.process_input(text) for text in stale] == stale  # each timed out, passed unscanned
        assert not any(text.startswith("stale") for text in scanned)
        release.set()
        coord._executor.shutdown(wait=True)
    finally:
        release.set()
    assert [text for text in scanned if text.startswith("stale")] == stale
