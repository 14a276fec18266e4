"""Screening with verdicts, the admission gate, the pool size and asyncio screening."""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import norv.core.coordinator as coordinator_module
from conftest import BACKSTOP, GC, LONG_MS, TIME_SCALE, Guard, needs_threads_after_fork
from norv import aio, capacity, screening

REFUSAL = "Refused."


def refusing(word="attack"):
    return Guard(lambda content, metadata: REFUSAL if word in content else content, refusal_message=REFUSAL)


def blocked_until(event, result=None):
    def behaviour(content, metadata):
        event.wait(BACKSTOP)
        return content if result is None else result

    return behaviour


def wait_until(condition):
    for _ in range(int(BACKSTOP * 1000)):
        if condition():
            return
        threading.Event().wait(0.001)
    raise AssertionError("condition not reached")


@pytest.fixture
def coords():
    made = []

    def make(timeout_ms=LONG_MS, audit_mode=False, **guards):
        coord = GC(timeout_ms, audit_mode)
        for slot, module in guards.items():
            getattr(coord, "register_" + slot)(module)
        made.append(coord)
        return coord

    yield make
    for coord in made:
        coord._executor.shutdown(wait=False)


class Raises(Exception):
    pass


def failing_log_audit(logger, event, details):
    raise Raises("audit log down")


# -- verdicts ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "guards, prompt, verdict, events",
    [
        ({}, "hello", "passed", []),
        ({"input_guard": refusing()}, "hello", "passed", []),
        ({"input_guard": refusing()}, "an attack", "refused", ["THREAT_DETECTED"]),
        ({"input_guard": Guard.returning(None)}, "hello", "refused", ["THREAT_DETECTED"]),
        ({"input_guard": Guard(lambda c, m: c.upper())}, "hello", "sanitised", ["THREAT_DETECTED"]),
        ({"input_guard": Guard.raising(ValueError("boom"))}, "hello", "module_error", ["INTERNAL_MODULE_ERROR"]),
        ({"input_guard": Guard.returning(b"bytes")}, "hello", "module_error",
         ["THREAT_DETECTED", "INTERNAL_MODULE_ERROR"]),
        # A refusal outranks an unscanned step before it.
        ({"input_guard": Guard.raising(ValueError("boom")), "neural_guard": refusing()}, "an attack", "refused",
         ["INTERNAL_MODULE_ERROR", "THREAT_DETECTED"]),
        ({"neural_guard": refusing()}, "an attack", "refused", ["THREAT_DETECTED"]),
    ],
    ids=["no-guard", "clean", "refused", "none-result", "sanitised", "raises", "wrong-type",
         "error-then-refusal", "neural-refusal"],
)
def test_input_verdicts(coords, guards, prompt, verdict, events):
    result = screening.screen_input(coords(**guards), prompt, {"user_id": "u1"})
    assert result.call == "process_input"
    assert result.verdict == verdict
    assert [event["event"] for event in result.events] == events
    assert result.unscanned == (verdict == "module_error" or "INTERNAL_MODULE_ERROR" in events)
    assert result.seconds >= 0


@pytest.mark.parametrize(
    "shield, verdict",
    [(None, "passed"), (Guard(lambda c, m: c.replace("a@b.co", "[E]")), "redacted"),
     (Guard.raising(KeyError("k")), "module_error")],
    ids=["none", "redacted", "raises"],
)
def test_output_verdicts(coords, shield, verdict):
    result = screening.screen_output(coords(output_shield=shield), "mail a@b.co", None)
    assert (result.call, result.verdict) == ("process_output", verdict)


def test_audit_mode_passes_but_reports_the_detection(coords):
    result = screening.screen_input(coords(audit_mode=True, input_guard=refusing()), "an attack")
    assert (result.text, result.verdict, result.detected) == ("an attack", "passed", True)
    assert result.events[0]["outcome"] == "AUDIT_ONLY"


def test_a_time_out_is_an_unscanned_verdict(coords):
    release = threading.Event()
    try:
        result = screening.screen_input(coords(timeout_ms=20, input_guard=Guard(blocked_until(release))), "hello")
    finally:
        release.set()
    assert (result.text, result.verdict, result.unscanned) == ("hello", "timed_out", True)
    assert result.events[0]["event"] == "TIMEOUT" and result.events[0]["limit_sec"] == 0.02


@pytest.mark.parametrize("stdout_none", [False, True], ids=["stdout", "stdout-none"])
def test_last_resort_is_attributed_even_without_stdout(coords, monkeypatch, capsys, stdout_none):
    monkeypatch.setattr(coordinator_module, "log_audit", failing_log_audit)
    if stdout_none:
        monkeypatch.setattr(sys, "stdout", None)
    result = screening.screen_input(coords(input_guard=Guard.raising(ValueError("boom"))), "hello")
    assert (result.text, result.verdict, result.unscanned) == ("hello", "last_resort", True)
    assert result.events == ({"event": screening.LAST_RESORT, "error": "audit log down"},)
    monkeypatch.undo()
    printed = capsys.readouterr().out
    assert printed == ("" if stdout_none else "NORV CRITICAL FAILURE: audit log down\n")


def test_screen_does_both_sides_and_keeps_event_order(coords):
    shield = Guard(lambda c, m: c.replace("secret", "[S]"))
    coord = coords(input_guard=refusing(), output_shield=shield)
    record = screening.screen(coord, "an attack", "the secret", {"id": 1})
    assert (record.input.verdict, record.output.verdict) == ("refused", "redacted")
    assert [(e["event"], e["module"]) for e in record.events] == [
        ("THREAT_DETECTED", "InputHeuristic"), ("THREAT_DETECTED", "Output")]
    assert screening.screen(coord, response="fine").input is None
    with pytest.raises(ValueError):
        screening.screen(coord)


def test_arguments_the_coordinator_refuses_propagate(coords):
    with pytest.raises(TypeError):
        screening.screen_input(coords(), b"bytes")  # type: ignore[arg-type]
    # The failed call leaves no sink behind on this thread.
    assert screening.screen_input(coords(input_guard=refusing()), "an attack").verdict == "refused"


def test_events_belong_to_the_call_that_wrote_them(coords):
    # Many threads share one coordinator; each call must get exactly its own
    # event, told apart by the size of its own prompt.
    coord = coords(input_guard=refusing())
    prompts = [("attack " + "x" * (i % 37)) if i % 3 else "fine " + str(i) for i in range(600)]

    def one(prompt):
        return prompt, screening.screen_input(coord, prompt)

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        results = list(pool.map(one, prompts))
    for prompt, result in results:
        if "attack" in prompt:
            assert [e["size_bytes"] for e in result.events] == [len(prompt.encode())]
        else:
            assert result.events == ()


def test_collecting_keeps_the_default_stderr_output(tmp_path):
    # The collector is a handler too; the fallback handler must not take it
    # for an application's logging set-up and go quiet.
    script = textwrap.dedent("""
        from norv.core.coordinator import GovernanceCoordinator
        from norv import screening
        class Refuse:
            def scan(self, content, metadata=None):
                return "no"
        c = GovernanceCoordinator(10000)
        c.register_input_guard(Refuse())
        print(screening.screen_input(c, "x").verdict)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60 * TIME_SCALE)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "sanitised\n"
    assert '"event": "THREAT_DETECTED"' in done.stderr


# -- the admission gate -------------------------------------------------------------


def test_gate_queues_before_the_time_limit_starts(coords):
    # One worker, held by a blocked scan. Without a gate a second call would
    # queue in the pool and time out; with it, it waits at the gate and is
    # scanned once the worker is free.
    release = threading.Event()
    holder = Guard(blocked_until(release))
    coord = coords(timeout_ms=round(300 * TIME_SCALE), input_guard=refusing(), output_shield=holder)
    capacity.set_workers(coord, 1)
    gate = capacity.install_gate(coord)
    first = threading.Thread(target=screening.screen_output, args=(coord, "hold"))
    first.start()
    wait_until(lambda: gate.busy == 1)
    second = concurrent.futures.ThreadPoolExecutor(1).submit(screening.screen_input, coord, "an attack")
    wait_until(lambda: gate.waiting == 1)
    threading.Event().wait(0.5 * TIME_SCALE)  # longer than the limit, spent at the gate
    release.set()
    result = second.result(BACKSTOP)
    first.join(BACKSTOP)
    assert (result.verdict, [e["event"] for e in result.events]) == ("refused", ["THREAT_DETECTED"])
    holder.done.wait(BACKSTOP)
    assert (gate.busy, gate.waiting) == (0, 0)


def test_gate_with_a_maximum_wait_passes_with_its_own_event(coords):
    release = threading.Event()
    coord = coords(input_guard=Guard(blocked_until(release)), output_shield=refusing())
    capacity.set_workers(coord, 1)
    gate = capacity.install_gate(coord, max_wait=0.05)
    try:
        blocked = threading.Thread(target=screening.screen_input, args=(coord, "hold"))
        blocked.start()
        wait_until(lambda: gate.busy == 1)
        result = screening.screen_output(coord, "an attack")
    finally:
        release.set()
    blocked.join(BACKSTOP)
    assert (result.text, result.verdict, result.unscanned) == ("an attack", "over_capacity", True)
    assert result.events == ({"event": "ADMISSION_TIMEOUT", "module": "Output", "waited_sec": 0.05,
                              "action": "FAIL_OPEN"},)
    assert gate.refused == 1


@pytest.mark.parametrize("max_wait", [None, 0.5])
def test_a_guard_that_screens_through_its_own_coordinator_never_freezes_the_gate(coords, max_wait):
    # Eight threads at once, each scan calling the coordinator again: with the
    # inner scans waiting at the gate for places their outer scans held, every
    # place stayed held and every later call blocked for good.
    holder = {}

    def reentrant(content, metadata):
        threading.Event().wait(0.02)
        return holder["coord"].process_output(content, metadata)

    coord = holder["coord"] = coords(input_guard=Guard(reentrant), output_shield=Guard(), timeout_ms=200)
    gate = capacity.install_gate(coord, max_wait=max_wait)
    threads = [threading.Thread(target=screening.screen_input, args=(coord, f"prompt {i}")) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(BACKSTOP)
    assert not any(thread.is_alive() for thread in threads)
    fresh = threading.Thread(target=screening.screen_input, args=(coord, "a fresh prompt"))
    fresh.start()
    fresh.join(BACKSTOP)
    assert not fresh.is_alive()
    wait_until(lambda: gate.busy == 0)
    assert gate.waiting == 0


def test_set_workers_keeps_the_pool_kind_and_names(coords):
    coord = coords(input_guard=Guard(lambda c, m: threading.current_thread().name))
    old = coord._executor
    capacity.set_workers(coord, 7)
    assert isinstance(coord._executor, concurrent.futures.ThreadPoolExecutor) and coord._executor is not old
    assert (coord._executor._max_workers, capacity.workers_of(coord)) == (7, 7)
    assert screening.screen_input(coord, "x").text.startswith("NORV_Worker")
    gate = capacity.install_gate(coord)
    assert capacity.install_gate(coord, max_wait=1.0) is gate and gate.max_wait == 1.0
    capacity.set_workers(coord, 2)
    assert coord._executor is gate and gate.workers == 2 and gate.pool._max_workers == 2
    for bad in (0, -1, 1.5, True):
        with pytest.raises(ValueError):
            capacity.set_workers(coord, bad)
    with pytest.raises(ValueError):
        capacity.install_gate(coord, max_wait=-1)


@needs_threads_after_fork
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_gate_works_in_a_forked_child():
    script = textwrap.dedent("""
        import os, sys, threading
        from norv.core.coordinator import GovernanceCoordinator
        from norv import capacity, screening
        release = threading.Event()
        class Guard:
            refusal_message = "no"
            def scan(self, content, metadata=None):
                if content == "hold":
                    release.wait(30)
                return "no" if "attack" in content else content
        c = GovernanceCoordinator(10000)
        c.register_input_guard(Guard())
        gate = capacity.install_gate(c)
        # All four places held by the parent's scans when it forks.
        holders = [threading.Thread(target=screening.screen_input, args=(c, "hold")) for _ in range(4)]
        for t in holders: t.start()
        while gate.busy != 4: pass
        pid = os.fork()
        if pid == 0:
            verdicts = [screening.screen_input(c, "attack %d" % i).verdict for i in range(8)]
            os._exit(0 if verdicts == ["refused"] * 8 and gate.busy == 0 else 1)
        release.set()
        _, status = os.waitpid(pid, 0)
        for t in holders: t.join()
        sys.exit(os.waitstatus_to_exitcode(status))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60 * TIME_SCALE)
    assert done.returncode == 0, done.stderr


# -- asyncio ------------------------------------------------------------------------


def test_aio_runs_off_the_loop_thread(coords):
    # The guard waits for the event loop to do something while it scans: a
    # call made on the loop's thread would dead-lock until the backstop.
    loop_ran = threading.Event()
    coord = coords(input_guard=Guard(lambda c, m: REFUSAL if loop_ran.wait(BACKSTOP) else c,
                                     refusal_message=REFUSAL))

    async def main():
        async def tick():
            await asyncio.sleep(0)
            loop_ran.set()

        ticker = asyncio.ensure_future(tick())
        result = await aio.screen_input(coord, "anything")
        await ticker
        return result

    result = asyncio.run(main())
    assert (result.verdict, result.events[0]["event"]) == ("refused", "THREAT_DETECTED")
    assert isinstance(coord._executor, capacity.AdmissionGate)
    assert aio.host_threads(coord)._max_workers == capacity.workers_of(coord)


def test_aio_cancellation_loses_nothing(coords):
    release = threading.Event()
    scanned = []

    def behaviour(content, metadata):
        scanned.append(content)
        if content == "hold":
            release.wait(BACKSTOP)
        return REFUSAL if "attack" in content else content

    coord = coords(input_guard=Guard(behaviour, refusal_message=REFUSAL))
    gate = capacity.install_gate(coord)
    async def main():
        holders = [asyncio.ensure_future(aio.screen_input(coord, "hold")) for _ in range(gate.workers)]
        queued = [asyncio.ensure_future(aio.screen_input(coord, f"attack {i}")) for i in range(12)]
        for _ in range(int(BACKSTOP * 1000)):
            if gate.busy == gate.workers:
                break
            await asyncio.sleep(0.001)
        for task in holders + queued[::2]:
            task.cancel()
        release.set()
        done = await asyncio.gather(*queued[1::2])
        for task in holders + queued[::2]:
            with pytest.raises(asyncio.CancelledError):
                await task
        # Capacity is all back: the next calls run normally.
        after = await asyncio.gather(*(aio.screen_input(coord, f"attack again {i}") for i in range(8)))
        return done, after

    done, after = asyncio.run(main())
    assert [r.verdict for r in done + after] == ["refused"] * 14
    # Every call that was scanned wrote its event; cancelled calls that had not
    # started were never scanned.
    for result in done + after:
        assert [e["event"] for e in result.events] == ["THREAT_DETECTED"]
    wait_until(lambda: gate.busy == 0)
    assert gate.waiting == 0
    assert set(scanned) >= {f"attack {i}" for i in range(1, 12, 2)}
