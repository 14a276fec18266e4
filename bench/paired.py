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

The round-trip scenarios also run ``minimum`` (see scenarios.py), the least
any implementation of the behaviour must do, and take twice the blocks: a
round trip is two thread hand-offs, whose time varies far more from block to
block than a call that stays on one thread. A round-trip target that the
coordinator misses while the minimum misses it too is reported as below what
the interpreter allows, with both ratios.

    python bench/paired.py -o bench/results/paired.json [--blocks N] [--scale F]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios as sc


def _skip(kind):
    return sc.skip_path(kind), sc.PROMPT


def _round_trip_floor(module_type):
    def setup():
        return sc.warm(sc.floor_pool()), module_type().scan, sc.PROMPT

    return setup


def _minimum(statement, **modules):
    def setup():
        return sc.Bare(**modules), sc.PROMPT, sc._noop_log_audit, None

    return (statement, ["c", "t", "la", "lg"], setup)


TWO_ROUND_TRIPS = sc.ROUND_TRIP + "\n" + sc.ROUND_TRIP
#: Round-trip scenarios run this many times the blocks of the others.
ROUND_TRIP_BLOCKS = 2

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
        minimum=_minimum(sc.MINIMUM_ONE_ROUND_TRIP, output_shield=sc.EchoModule()),
        loops=200, unroll=1, target=("floor", 1.03)),
    "c_input_two_round_trips": dict(
        statement=("c.process_input(t)", ["c", "t"], lambda kind: (sc.two_round_trips(kind), sc.PROMPT)),
        floor=(TWO_ROUND_TRIPS, ["pool", "scan", "t"], _round_trip_floor(sc.EchoModule)),
        minimum=_minimum(sc.MINIMUM_TWO_ROUND_TRIPS, input_guard=sc.EchoModule(), neural_guard=sc.EchoModule()),
        loops=100, unroll=1, target=("floor", 1.03)),
    "d_detection": dict(
        statement=("c.process_input(t)", ["c", "t"], lambda kind: (sc.detection(kind), sc.PROMPT)),
        floor=(sc.ROUND_TRIP, ["pool", "scan", "t"], _round_trip_floor(sc.RefusingGuard)),
        minimum=_minimum(sc.MINIMUM_DETECTION, input_guard=sc.RefusingGuard(), neural_guard=sc.EchoModule()),
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
    unroll = plan["unroll"]
    loops = max(1, int(plan["loops"] * scale))
    runs = {}

    def add(name, statement, names, args):
        timer = sc.make_timer(statement, names, unroll)
        runs[name] = lambda: timer(loops, *args) / (loops * unroll)

    for kind in sc.CONTENDERS:
        add(kind, statement, names, setup(kind))
    for name in ("floor", "minimum"):
        if name in plan:
            extra_statement, extra_names, extra_setup = plan[name]
            add(name, extra_statement, extra_names, extra_setup())
    if "minimum" in plan:
        blocks *= ROUND_TRIP_BLOCKS
    order = list(runs)
    for run in runs.values():  # one block each to warm up
        run()
    times = {k: [] for k in order}
    pairs = [("native", "peer"), ("native", "floor"), ("peer", "floor")]
    if "minimum" in runs:
        pairs += [("minimum", "floor"), ("native", "minimum")]
    ratios = {pair: [] for pair in pairs}
    for i in range(blocks):
        shift = i % len(order)
        got = {k: runs[k]() for k in order[shift:] + order[:shift]}
        for k, v in got.items():
            times[k].append(v)
        for a, b in pairs:
            ratios[(a, b)].append(got[a] / got[b])
    which, bound = plan["target"]
    value = statistics.median(ratios[("native", which)])
    target = {"ratio": f"native/{which}", "bound": bound, "value": value, "met": value <= bound}
    if "minimum" in runs:
        least = statistics.median(ratios[("minimum", which)])
        target["minimum"] = least
        # Missed, but so is it by the least that the behaviour takes.
        target["beyond_interpreter"] = value > bound and least > bound
    return {
        "blocks": blocks,
        "calls_per_block": loops * unroll,
        "median_s": {k: statistics.median(v) for k, v in times.items()},
        "ratios": {f"{a}/{b}": {"median": statistics.median(v), "quartiles": quartiles(v)}
                   for (a, b), v in ratios.items()},
        "target": target,
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
        least = f", minimum/floor {t['minimum']:.3f}" if "minimum" in t else ""
        print(f"{name}: {t['ratio']} {t['value']:.3f} (target <= {t['bound']}), "
              f"native/peer {r['ratios']['native/peer']['median']:.3f}{least}", flush=True)
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
