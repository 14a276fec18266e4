"""The ratio targets, measured with the contenders taking turns in one process.

pyperf (bench/suite.py) measures each benchmark in its own worker processes,
one benchmark after the other. On a shared two-core machine the load changes
from one minute to the next by more than the differences being measured, and
that change lands between a contender and the floor or peer it is divided by.
Here the native class, the peer and the floor of one scenario run the same
timing loop (scenarios.make_timer) in short blocks, one block each in turn,
the order rotating; each ratio is taken between neighbouring blocks, and the
median of those ratios is what the targets are judged on. Load that changes
more slowly than a few blocks cancels out.

    python bench/paired.py -o bench/results/paired.json [--blocks N] [--scale F]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios as sc  # noqa: E402


def _skip(kind):
    return sc.skip_path(kind), sc.PROMPT


def _round_trip_floor(module_type):
    def setup():
        return sc.warm(sc.floor_pool()), module_type().scan, sc.PROMPT

    return setup


TWO_ROUND_TRIPS = sc.ROUND_TRIP + "\n" + sc.ROUND_TRIP

# scenario: contenders {name: (statement, names, setup)}, the floor's statement
# and set-up, loop turns per block, unroll, and the target (ratio, bound).
SCENARIOS = {
    "a_input": dict(
        statement=("c.process_input(t)", ["c", "t"], _skip),
        floor=(sc.BUILTIN_CALL, ["d", "t"], lambda: ({}, sc.PROMPT)),
        loops=1000, unroll=sc.UNROLL, target=("peer", 0.45)),
    "a_output": dict(
        statement=("c.process_output(t)", ["c", "t"], _skip),
        floor=(sc.BUILTIN_CALL, ["d", "t"], lambda: ({}, sc.PROMPT)),
        loops=1000, unroll=sc.UNROLL, target=("peer", 0.45)),
    "b_output_round_trip": dict(
        statement=("c.process_output(t)", ["c", "t"], lambda kind: (sc.one_round_trip(kind), sc.PROMPT)),
        floor=(sc.ROUND_TRIP, ["pool", "scan", "t"], _round_trip_floor(sc.EchoModule)),
        loops=200, unroll=1, target=("floor", 1.03)),
    "c_input_two_round_trips": dict(
        statement=("c.process_input(t)", ["c", "t"], lambda kind: (sc.two_round_trips(kind), sc.PROMPT)),
        floor=(TWO_ROUND_TRIPS, ["pool", "scan", "t"], _round_trip_floor(sc.EchoModule)),
        loops=100, unroll=1, target=("floor", 1.03)),
    "d_detection": dict(
        statement=("c.process_input(t)", ["c", "t"], lambda kind: (sc.detection(kind), sc.PROMPT)),
        floor=(sc.ROUND_TRIP, ["pool", "scan", "t"], _round_trip_floor(sc.RefusingGuard)),
        loops=200, unroll=1, target=("floor", 1.03)),
    "e_refused": dict(
        statement=(sc.REFUSED, ["c", "b"], lambda kind: (sc.skip_path(kind), sc.NOT_STR)),
        floor=(sc.BUILTIN_REFUSED, ["d", "u"], lambda: ({}, [])),
        loops=300, unroll=sc.UNROLL, target=("peer", 0.50)),
}


def quartiles(values):
    return statistics.quantiles(values, n=4) if len(values) >= 2 else [values[0]] * 3


def measure(plan, blocks, scale):
    statement, names, setup = plan["statement"]
    floor_statement, floor_names, floor_setup = plan["floor"]
    unroll = plan["unroll"]
    loops = max(1, int(plan["loops"] * scale))
    runs = {}
    for kind in sc.CONTENDERS:
        timer, args = sc.make_timer(statement, names, unroll), setup(kind)
        runs[kind] = lambda timer=timer, args=args: timer(loops, *args) / (loops * unroll)
    floor_timer, floor_args = sc.make_timer(floor_statement, floor_names, unroll), floor_setup()
    runs["floor"] = lambda: floor_timer(loops, *floor_args) / (loops * unroll)
    order = list(runs)
    for run in runs.values():  # one block each to warm up
        run()
    times = {k: [] for k in order}
    pairs = {("native", "peer"): [], ("native", "floor"): [], ("peer", "floor"): []}
    for i in range(blocks):
        shift = i % len(order)
        got = {k: runs[k]() for k in order[shift:] + order[:shift]}
        for k, v in got.items():
            times[k].append(v)
        for a, b in pairs:
            pairs[(a, b)].append(got[a] / got[b])
    which, bound = plan["target"]
    ratio = statistics.median(pairs[("native", which)])
    return {
        "blocks": blocks,
        "calls_per_block": loops * unroll,
        "median_s": {k: statistics.median(v) for k, v in times.items()},
        "ratios": {f"{a}/{b}": {"median": statistics.median(v), "quartiles": quartiles(v)}
                   for (a, b), v in pairs.items()},
        "target": {"ratio": f"native/{which}", "bound": bound, "value": ratio, "met": ratio <= bound},
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--blocks", type=int, default=200)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the calls per block")
    parser.add_argument("--only", default="", help="run only the scenarios whose name contains this text")
    args = parser.parse_args()
    results = {}
    for name, plan in SCENARIOS.items():
        if args.only and args.only not in name:
            continue
        r = results[name] = measure(plan, args.blocks, args.scale)
        t = r["target"]
        print(f"{name}: {t['ratio']} {t['value']:.3f} (target <= {t['bound']}), "
              f"native/peer {r['ratios']['native/peer']['median']:.3f}, "
              f"native/floor {r['ratios']['native/floor']['median']:.3f}", flush=True)
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
