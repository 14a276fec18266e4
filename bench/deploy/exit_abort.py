"""Deaths by signal at interpreter exit, while daemon threads are inside the coordinator.

Two daemon host threads (as ``ThreadingHTTPServer(daemon_threads=True)`` has)
call ``process_input`` in a loop with a guard that sleeps 1 ms; the main thread
ends normally. At finalisation the interpreter ends such threads with
``pthread_exit`` as soon as they take the interpreter lock back, which unwinds
through whatever native frames they are in.

``--interrupt`` runs the other shape: the guard is stuck, so the process hangs
at exit joining the pool's workers, and the driver sends SIGINT (a Ctrl-C)
while it hangs.

    python bench/deploy/exit_abort.py --runs 50
    python bench/deploy/exit_abort.py --runs 5 --interrupt

Prints one line per outcome (exit code or signal name, with counts) and
exits 1 when any child died by a signal other than the SIGINT the driver sent.
"""

from __future__ import annotations

import argparse
import collections
import signal
import subprocess
import sys
import time

CHILD = r"""
import sys, threading, time
import norv.core.coordinator as cm

stuck = sys.argv[1] == "stuck"
started = threading.Event()

class Guard:
    refusal_message = "refused"
    def scan(self, content, metadata=None):
        started.set()
        if stuck:
            while True:  # busy, and never gives its worker back
                time.sleep(0.01)
        time.sleep(0.001)
        return content

coord = cm.GovernanceCoordinator(timeout_ms=1000 if not stuck else 50)
coord.register_input_guard(Guard())

def host():
    while True:
        coord.process_input("hello")

for _ in range(2):
    threading.Thread(target=host, daemon=True).start()
started.wait(30)
time.sleep(float(sys.argv[2]))
print("main ends", flush=True)
"""


def run_once(interrupt: bool, linger: float, timeout: float) -> str:
    """One child; returns its outcome as a word: "exit 0", "SIGABRT", ..."""
    args = [sys.executable, "-c", CHILD, "stuck" if interrupt else "sleep", str(linger)]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if interrupt:
            # Wait until the main thread has ended and the process hangs at exit.
            assert proc.stdout is not None
            proc.stdout.readline()
            time.sleep(0.3)
            proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        return "hung"
    code = proc.returncode
    if code < 0:
        name = signal.Signals(-code).name
        if "terminate called" in err:
            name += " (terminate called)"
        return name
    return f"exit {code}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--interrupt", action="store_true", help="hang at exit behind a stuck guard, then SIGINT")
    parser.add_argument("--linger", type=float, default=0.2, help="seconds the main thread runs before it ends")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds a child may take")
    args = parser.parse_args()

    outcomes: collections.Counter[str] = collections.Counter()
    start = time.perf_counter()
    for _ in range(args.runs):
        outcomes[run_once(args.interrupt, args.linger, args.timeout)] += 1
    elapsed = time.perf_counter() - start
    shape = "SIGINT while hanging at exit" if args.interrupt else "main thread ends"
    print(f"{args.runs} runs ({shape}), {elapsed:.1f} s, python {sys.executable}")
    for outcome, count in sorted(outcomes.items()):
        print(f"  {outcome}: {count}")
    bad = sum(n for o, n in outcomes.items() if not o.startswith("exit") and o != "SIGINT")
    print(f"died by a signal: {bad} of {args.runs}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
