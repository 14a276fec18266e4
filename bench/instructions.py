"""Instruction counts per call under callgrind, for (a), (e) and the round trips.

Wall-clock ratios on a shared two-core machine move by several percent from
run to run; the number of instructions a call executes does not. Each case is
run twice under ``valgrind --tool=callgrind`` (N and 2N calls, hash seed
fixed), and the difference divided by N is the cost of one call; the same
figure for an empty loop is subtracted, so what remains is the call alone.

    python bench/instructions.py -o bench/results/instructions.json [--calls N]

Each count is also split: how many of the instructions ran inside the C API's
attribute protocol (``ATTRIBUTE_ENTRIES``, inclusive of what they call). The
interpreter's own bytecode reads most attributes through inline caches that
never enter those functions; an extension has no such caches, so this is the
share of a call that only an extension pays.

Needs valgrind (Debian: ``apt-get install valgrind``); without it the script
writes nothing and says so.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# case: (statement, calls relative to --calls). Names as in bench/suite.py.
CASES = {
    "empty loop": ("pass", 1),
    "a_input: native": ("c.process_input(t)", 1),
    "a_input: peer": ("p.process_input(t)", 1),
    "a_output: native": ("c.process_output(t)", 1),
    "a_output: peer": ("p.process_output(t)", 1),
    "floor: builtin call": ("d.get(t)", 1),
    "e_refused: native": ("try:\n    c.process_input(b)\nexcept TypeError:\n    pass", 1),
    "e_refused: peer": ("try:\n    p.process_input(b)\nexcept TypeError:\n    pass", 1),
    "floor: builtin refused": ("try:\n    d.get(u)\nexcept TypeError:\n    pass", 1),
    # Round trips: both threads' instructions (valgrind runs one thread at a time).
    "b_output_round_trip: native": ("rc.process_output(t)", 0.1),
    "b_output_round_trip: peer": ("rp.process_output(t)", 0.1),
    "floor: round trip": ("pool.submit(scan, t, None).result(timeout=0.05)", 0.1),
    "c_input_two_round_trips: native": ("r2c.process_input(t)", 0.1),
    "c_input_two_round_trips: peer": ("r2p.process_input(t)", 0.1),
    "floor: two round trips": ("pool.submit(scan, t, None).result(timeout=0.05)\n"
                               "pool.submit(scan, t, None).result(timeout=0.05)", 0.1),
    "d_detection: native": ("dc.process_input(t)", 0.1),
    "d_detection: peer": ("dp.process_input(t)", 0.1),
    "floor: refusing round trip": ("pool.submit(refuse, t, None).result(timeout=0.05)", 0.1),
    # The least the behaviour takes beyond each round trip (scenarios.Bare).
    "b_output_round_trip: minimum": ("MINIMUM_ONE_ROUND_TRIP", 0.1),
    "c_input_two_round_trips: minimum": ("MINIMUM_TWO_ROUND_TRIPS", 0.1),
    "d_detection: minimum": ("MINIMUM_DETECTION", 0.1),
}


#: Entry points of the generic attribute protocol: every attribute read and
#: method lookup an extension makes goes through one of them.
ATTRIBUTE_ENTRIES = ("PyObject_GetAttr", "_PyObject_GetMethod", "_PyObject_LookupAttr")


def driver(case, calls):
    """Runs inside valgrind: set up every contender, then loop over one case."""
    sys.path.insert(0, HERE)
    import scenarios as sc

    names = {"t": sc.PROMPT, "b": sc.NOT_STR, "d": {}, "u": []}
    statement = CASES[case][0]
    minimum = {
        "MINIMUM_ONE_ROUND_TRIP": lambda: sc.Bare(output_shield=sc.EchoModule()),
        "MINIMUM_TWO_ROUND_TRIPS": lambda: sc.Bare(input_guard=sc.EchoModule(), neural_guard=sc.EchoModule()),
        "MINIMUM_DETECTION": lambda: sc.Bare(input_guard=sc.RefusingGuard(), neural_guard=sc.EchoModule()),
    }
    if statement in minimum:
        names.update(c=minimum[statement](), la=sc._noop_log_audit, lg=None)
        statement = getattr(sc, statement)
    # Only what this case's statement uses: every warmed pool costs start-up time.
    makers = {
        "c": lambda: sc.skip_path("native"), "p": lambda: sc.skip_path("peer"),
        "rc": lambda: sc.one_round_trip("native"), "rp": lambda: sc.one_round_trip("peer"),
        "r2c": lambda: sc.two_round_trips("native"), "r2p": lambda: sc.two_round_trips("peer"),
        "dc": lambda: sc.detection("native"), "dp": lambda: sc.detection("peer"),
        "pool": lambda: sc.warm(sc.floor_pool()),
        "scan": lambda: sc.EchoModule().scan, "refuse": lambda: sc.RefusingGuard().scan,
    }
    for name, make in makers.items():
        if name not in names and re.search(rf"\b{name}\b", statement):
            names[name] = make()
    body = "\n".join("        " + line for line in statement.splitlines())
    source = f"def loop(n, {', '.join(names)}):\n    for _ in range(n):\n{body}\n"
    namespace = {}
    exec(source, namespace)
    namespace["loop"](calls, **names)


def count(case, calls, workdir):
    """Instructions of the whole run, and of those inside ATTRIBUTE_ENTRIES."""
    out = os.path.join(workdir, "callgrind.out")
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, os.path.abspath(__file__), "--driver", case, str(calls)],
        check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    total = None
    with open(out) as f:
        for line in f:
            m = re.match(r"(?:totals|summary):\s+(\d+)", line)
            if m:
                total = int(m.group(1))
                break
    if total is None:
        raise RuntimeError(f"no totals in callgrind output for {case!r}")
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                               check=True, capture_output=True, text=True).stdout
    # "  1,234 (0.50%)  Objects/object.c:PyObject_GetAttr [libpython...]". A
    # function also has rows for the header lines inlined into it, which its
    # own row already includes, and recursive copies ("name'2") are inside it:
    # take each function's largest row.
    row = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+\S*:(\w+)\s+\[")
    entries = dict.fromkeys(ATTRIBUTE_ENTRIES, 0)
    for line in annotated.splitlines():
        m = row.match(line)
        if m and m.group(2) in entries:
            entries[m.group(2)] = max(entries[m.group(2)], int(m.group(1).replace(",", "")))
    return total, sum(entries.values())


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--driver":
        driver(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--calls", type=int, default=10_000)
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        print("instructions: valgrind not found, skipped (apt-get install valgrind)")
        return
    per_call, attribute, calls = {}, {}, {}
    with tempfile.TemporaryDirectory() as workdir:
        for case, (_, share) in CASES.items():
            n = calls[case] = max(100, int(args.calls * share))
            (total_2n, attr_2n), (total_n, attr_n) = count(case, 2 * n, workdir), count(case, n, workdir)
            per_call[case] = (total_2n - total_n) / n
            attribute[case] = (attr_2n - attr_n) / n
    loop = per_call.pop("empty loop")
    attribute.pop("empty loop")
    results = {"calls": args.calls, "calls_per_case": calls, "empty_loop_ir": loop,
               "python": sys.version.split()[0], "attribute_ir_per_call": attribute,
               "ir_per_call": {k: v - loop for k, v in per_call.items()}}
    for k, v in results["ir_per_call"].items():
        print(f"{k}: {v:,.0f} instructions per call, {attribute[k]:,.0f} in the attribute protocol", flush=True)
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
