"""`norv screen` against its floors, across processes, and over long runs: whole-process figures.

    python bench/screen_bench.py floors [--records 50000] [--runs 5]
    python bench/screen_bench.py jobs   [--records 50000] [--runs 3] [--jobs 1,2]
    python bench/screen_bench.py memory [--records 100000,1000000] [--jobs 1] [--guards default|none]
    python bench/screen_bench.py versions --baseline DIR [--records 20000] [--runs 6]

Every figure is the operating system's accounting of a finished child process
(``os.wait4``): CPU is user + system seconds, with the child's own children
(``--jobs`` workers) included; peak RSS is that of the largest single process.

floors  runs `norv screen IN -o OUT --audit-log AUDIT` and each floor of
        bench/screen_floor.py in turn (A B A B ...), checks that the result lines
        are byte-identical and the audit lines as many, and prints the median CPU
        of each and the median of the pairwise ratios. Run it on a quiet machine:
        CPU time still grows when another process competes for the caches.
jobs    records per second (wall clock) of --jobs 1 and of each N given, paired.
memory  peak RSS of `norv screen` for each record count, the records generated
        on the fly into its standard input, results and audit events to /dev/null.
versions  the CPU a record costs in this checkout against another (DIR: a clone
        at the revision to compare with, its native module built or copied into
        DIR/python/norv/core), the two taking turns; their result lines must be
        byte-identical. What a change of the command's Python costs.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FLOOR = os.path.join(HERE, "screen_floor.py")


class Measured:
    def __init__(self, cpu: float, wall: float, peak_mib: float, status: int) -> None:
        self.cpu, self.wall, self.peak_mib, self.status = cpu, wall, peak_mib, status


def measure(argv: list[str], *, stdin: int | None = None, stdout: int | None = None,
            env: dict[str, str] | None = None) -> Measured:
    """Run ``argv`` to its end; its CPU (user + sys, children included), wall time and peak RSS."""
    devnull = os.open(os.devnull, os.O_RDWR)
    started = time.monotonic()
    proc = subprocess.Popen(argv, stdin=stdin if stdin is not None else devnull,
                            stdout=stdout if stdout is not None else devnull, stderr=devnull, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)
    os.close(devnull)
    return Measured(usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss / 1024, proc.returncode)


def generate(records: int, path: str) -> None:
    if not os.path.exists(path):
        subprocess.run([sys.executable, FLOOR, "generate", str(records), path], check=True)


def norv(*args: str) -> list[str]:
    return [sys.executable, "-m", "norv", "screen", *args]


def _median_row(label: str, values: list[float], unit: str) -> str:
    return f"{label:<34} median {statistics.median(values):9.3f} {unit}  (min {min(values):.3f}, max {max(values):.3f})"


def floors(args: argparse.Namespace, work: str) -> None:
    data = os.path.join(work, f"records-{args.records}.jsonl")
    generate(args.records, data)
    runs: dict[str, list[Measured]] = {"screen": [], "handoff": [], "plain": []}
    outputs = {name: (os.path.join(work, f"{name}.out"), os.path.join(work, f"{name}.audit")) for name in runs}
    commands = {
        "screen": norv(data, "-o", outputs["screen"][0], "--audit-log", outputs["screen"][1], "--no-progress"),
        "handoff": [sys.executable, FLOOR, "handoff", data, *outputs["handoff"]],
        "plain": [sys.executable, FLOOR, "plain", data, *outputs["plain"]],
    }
    for number in range(args.runs + 1):  # the first round warms the caches and is not counted
        for name in ("screen", "handoff", "screen", "plain"):
            if os.path.exists(outputs[name][1]):
                os.unlink(outputs[name][1])
            result = measure(commands[name])
            if result.status != 0:
                sys.exit(f"{name} exited with {result.status}")
            if number:
                runs[name].append(result)
        _check_same(outputs)
    pairs_handoff = [a.cpu / b.cpu for a, b in zip(runs["screen"][0::2], runs["handoff"], strict=True)]
    pairs_plain = [a.cpu / b.cpu for a, b in zip(runs["screen"][1::2], runs["plain"], strict=True)]
    print(f"{args.records} records, {args.runs} rounds; CPU = user + sys of the whole process")
    for name, label in (("screen", "norv screen"), ("handoff", "hand-off floor"), ("plain", "plain floor")):
        print(_median_row(f"{label} CPU", [m.cpu for m in runs[name]], "s"))
    print(_median_row("norv screen / hand-off floor", pairs_handoff, "x"))
    print(_median_row("norv screen / plain floor", pairs_plain, "x"))


def _check_same(outputs: dict[str, tuple[str, str]]) -> None:
    with open(outputs["screen"][0], "rb") as file:
        expected = file.read()
    for name in ("handoff", "plain"):
        with open(outputs[name][0], "rb") as file:
            if file.read() != expected:
                # A TIMEOUT on a loaded machine changes a line; say so rather than compare unequal work.
                print(f"warning: {name} result lines differ from norv screen's (a time-out under load?)")
    counts = set()
    for _, audit in outputs.values():
        with open(audit, "rb") as file:
            counts.add(sum(1 for _ in file))
    if len(counts) != 1:
        print(f"warning: audit line counts differ: {sorted(counts)}")


def jobs(args: argparse.Namespace, work: str) -> None:
    data = os.path.join(work, f"records-{args.records}.jsonl")
    generate(args.records, data)
    levels = [int(level) for level in args.jobs.split(",")]
    if 1 not in levels:
        levels.insert(0, 1)
    walls: dict[int, list[float]] = {level: [] for level in levels}
    cpus: dict[int, list[float]] = {level: [] for level in levels}
    for number in range(args.runs + 1):
        for level in levels:
            result = measure(norv(data, "-o", os.devnull, "--audit-log", os.devnull, "--no-progress",
                                  "--jobs", str(level)))
            if result.status != 0:
                sys.exit(f"--jobs {level} exited with {result.status}")
            if number:
                walls[level].append(result.wall)
                cpus[level].append(result.cpu)
    print(f"{args.records} records, {args.runs} rounds, {os.cpu_count()} cores; wall clock")
    base = statistics.median(walls[1])
    for level in levels:
        wall = statistics.median(walls[level])
        speedups = [one / many for one, many in zip(walls[1], walls[level], strict=True)]
        print(f"--jobs {level}: {args.records / wall:10,.0f} records/s (wall median {wall:.2f} s, "
              f"CPU median {statistics.median(cpus[level]):.2f} s), x{base / wall:.2f} of --jobs 1 "
              f"(pairwise {min(speedups):.2f}-{max(speedups):.2f})")


def memory(args: argparse.Namespace, work: str) -> None:
    guards = [] if args.guards == "default" else ["--input-guard", "none", "--output-shield", "none"]
    print(f"peak RSS of norv screen (largest process), --jobs {args.jobs}, guards {args.guards}")
    for records in (int(count) for count in args.records.split(",")):
        generator = subprocess.Popen([sys.executable, FLOOR, "generate", str(records), "-"], stdout=subprocess.PIPE)
        assert generator.stdout is not None
        result = measure(norv("-", "-o", os.devnull, "--audit-log", os.devnull, "--no-progress", "--timeout-ms",
                              "10000", "--jobs", str(args.jobs), *guards), stdin=generator.stdout.fileno())
        generator.stdout.close()
        generator.wait()
        print(f"{records:>11,} records: peak {result.peak_mib:7.1f} MiB, wall {result.wall:8.1f} s, "
              f"CPU {result.cpu:8.1f} s, exit {result.status}")


def versions(args: argparse.Namespace, work: str) -> None:
    data = os.path.join(work, f"records-{args.records}.jsonl")
    generate(args.records, data)
    trees = {"baseline": os.path.join(os.path.abspath(args.baseline), "python"),
             "this": os.path.join(os.path.dirname(HERE), "python")}
    cpu: dict[str, list[float]] = {name: [] for name in trees}
    for number in range(args.runs + 1):  # the first round warms the caches and is not counted
        outputs = {}
        for name in (("baseline", "this") if number % 2 else ("this", "baseline")):
            out = os.path.join(work, f"{name}.out")
            env = dict(os.environ, PYTHONPATH=trees[name])
            result = measure(norv(data, "-o", out, "--audit-log", os.devnull, "--no-progress"), env=env)
            if result.status != 0:
                sys.exit(f"{name} exited with {result.status}")
            if number:
                cpu[name].append(result.cpu)
            with open(out, "rb") as file:
                outputs[name] = file.read()
        if outputs["baseline"] != outputs["this"]:
            print("warning: the result lines differ (a time-out under load?)")
    ratios = [this / base for this, base in zip(cpu["this"], cpu["baseline"], strict=True)]
    print(f"{args.records} records, {args.runs} rounds, order alternating; CPU = user + sys, workers included")
    for name in trees:
        per_record = [seconds / args.records * 1e6 for seconds in cpu[name]]
        print(_median_row(f"{name} ({trees[name]})", per_record, "us/record"))
    print(_median_row("this / baseline", ratios, "x"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("floors", "jobs", "memory", "versions"))
    parser.add_argument("--baseline", metavar="DIR", help="versions: the checkout to compare with")
    parser.add_argument("--records", default=None)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--jobs", default=None)
    parser.add_argument("--guards", choices=("default", "none"), default="default")
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "norv-screen-bench"))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if args.what == "floors":
        args.records = int(args.records or 50_000)
        floors(args, args.work)
    elif args.what == "versions":
        if args.baseline is None:
            parser.error("versions needs --baseline DIR")
        args.records = int(args.records or 20_000)
        versions(args, args.work)
    elif args.what == "jobs":
        args.records = int(args.records or 50_000)
        args.jobs = args.jobs or "1,2"
        jobs(args, args.work)
    else:
        args.records = args.records or "100000,1000000"
        args.jobs = int(args.jobs or 1)
        memory(args, args.work)


if __name__ == "__main__":
    main()
