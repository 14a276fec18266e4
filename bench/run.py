"""Runs the whole benchmark suite and writes bench/results/: what ``make bench`` calls.

1. A check that the peer and the native class give the same results and
   messages on every measured path (a benchmark of two different behaviours
   would prove nothing).
2. The pyperf suite, in ROUNDS rounds appended to one file: each round runs
   every benchmark in a few worker processes, so slow drift of a shared
   machine is spread over all benchmarks instead of landing between a
   contender and its floor.
3. The paired measurement of the ratio targets (the contenders taking turns
   in one process), the time-out precision, the memory check and, when
   valgrind is installed, the instruction counts.
4. bench/results/results.md, the table of ratios.

    python bench/run.py [--quick] [--skip STEP ...] [--results DIR]

``--quick`` shortens every step (for trying the suite out, not for figures);
``--results`` writes somewhere else than bench/results (to compare two builds,
run once per build with PYTHONPATH pointing at each).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")
sys.path.insert(0, HERE)

#: pyperf settings per round: worker processes, values per process, time per value.
ROUNDS = 3
PYPERF = ["--processes", "4", "--values", "5", "--warmups", "1", "--min-time", "0.05"]
QUICK_PYPERF = ["--processes", "1", "--values", "3", "--warmups", "1", "--min-time", "0.02"]


def check_peer():
    """The peer must behave like the native class where it is measured."""
    import scenarios as sc

    def outcome(call):
        try:
            return ("returned", call())
        except TypeError as e:
            return ("raised", type(e), str(e))

    checks = {
        "a_input": lambda k: sc.skip_path(k).process_input(sc.PROMPT),
        "a_output": lambda k: sc.skip_path(k).process_output(sc.PROMPT),
        "b": lambda k: sc.one_round_trip(k).process_output(sc.PROMPT),
        "c": lambda k: sc.two_round_trips(k).process_input(sc.PROMPT),
        "d": lambda k: sc.detection(k).process_input(sc.PROMPT),
        "e": lambda k: sc.skip_path(k).process_input(sc.NOT_STR),
        "e (metadata)": lambda k: sc.skip_path(k).process_input(sc.PROMPT, []),
        "f": lambda k: sorted(vars(sc.coordinator(k)).keys()),
    }
    for name, check in checks.items():
        native, peer = outcome(lambda: check("native")), outcome(lambda: check("peer"))  # noqa: B023
        if native != peer:
            raise SystemExit(f"peer differs from native on {name}: {native!r} vs {peer!r}")
    print(f"peer check: {len(checks)} measured paths behave alike")


def step(argv):
    print("+ " + " ".join(os.path.relpath(a) if a.startswith(HERE) else a for a in argv), flush=True)
    subprocess.run(argv, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--skip", nargs="*", default=[],
                        choices=["suite", "paired", "timeout", "memory", "instructions"])
    parser.add_argument("--results", default=RESULTS, help="directory for the results (default: %(default)s)")
    args = parser.parse_args()
    results = os.path.abspath(args.results)
    os.makedirs(results, exist_ok=True)
    py = sys.executable
    started = time.monotonic()
    inherit = ["--inherit-environ", "PYTHONPATH"] if os.environ.get("PYTHONPATH") else []

    check_peer()
    if "suite" not in args.skip:
        out = os.path.join(results, "suite.json")
        if os.path.exists(out):
            os.remove(out)
        rounds = 1 if args.quick else ROUNDS
        for i in range(rounds):
            print(f"suite round {i + 1}/{rounds} at {time.monotonic() - started:.0f} s", flush=True)
            step([py, os.path.join(HERE, "suite.py"), "--quiet", *(QUICK_PYPERF if args.quick else PYPERF),
                  *inherit, "--append", out])
    quick = {
        "paired": ["--blocks", "10", "--scale", "0.1"],
        "timeout": ["--calls", "20"],
        "memory": ["--scale", "0.02"],
        "instructions": ["--calls", "2000"],
    }
    for name, script in (("paired", "paired.py"), ("timeout", "timeout_precision.py"),
                         ("memory", "memory.py"), ("instructions", "instructions.py")):
        if name in args.skip:
            continue
        extra = quick[name] if args.quick else []
        step([py, os.path.join(HERE, script), "-o", os.path.join(results, f"{name}.json"), *extra])
    step([py, os.path.join(HERE, "report.py"), results])
    print(f"bench: done in {time.monotonic() - started:.0f} s; table in {os.path.relpath(results)}/results.md")


if __name__ == "__main__":
    main()
