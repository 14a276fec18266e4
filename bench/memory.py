"""Memory: no growth over one million calls of (a) and 100 000 of (b).

After a warm-up, the calls run in ten equal slices; after each slice a full
collection runs and three figures are read: the resident set size (from
/proc/self/statm), the bytes traced by ``tracemalloc``, and the interpreter's
count of allocated memory blocks. A leak of even one small object per call
would add megabytes over these counts; a flat series is the result.

The peer runs the same loops as a control, and so does an empty call, whose
growth is what the samples themselves take; it is subtracted.

    python bench/memory.py -o bench/results/memory.json [--scale 1.0]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios as sc

SLICES = 10
PAGE = os.sysconf("SC_PAGE_SIZE")
#: A series counts as flat when its last point is within this of its first.
#: One leaked object per call would exceed these many times over.
TOLERANCE = {"rss_bytes": 1 << 20, "traced_bytes": 64 << 10, "blocks": 1000}


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def sample():
    gc.collect()
    return {
        "rss_bytes": rss_bytes(),
        "traced_bytes": tracemalloc.get_traced_memory()[0],
        "blocks": sys.getallocatedblocks(),
    }


def run(call, calls, warmup, sampler=None):
    for _ in range(warmup):
        call()
    series = [sample()]
    per_slice = calls // SLICES
    for _ in range(SLICES):
        for _ in range(per_slice):
            call()
        series.append(sample())
    growth = {k: series[-1][k] - series[0][k] - (sampler or {}).get(k, 0) for k in series[0]}
    return {
        "calls": per_slice * SLICES,
        "warmup": warmup,
        "series": series,
        "growth": growth,
        "flat": all(growth[k] <= TOLERANCE[k] for k in TOLERANCE),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the call counts (for a quick try)")
    args = parser.parse_args()
    tracemalloc.start()
    plan = {
        "a_input_skip": (sc.skip_path, "process_input", int(1_000_000 * args.scale), 10_000),
        "b_output_round_trip": (sc.one_round_trip, "process_output", int(100_000 * args.scale), 2_000),
    }
    sampler = run(lambda: None, SLICES, 0)["growth"]
    results = {"tolerance": TOLERANCE, "sampler": sampler}
    for name, (factory, method, calls, warmup) in plan.items():
        for kind in sc.CONTENDERS:
            bound = getattr(factory(kind), method)
            r = run(lambda: bound(sc.PROMPT), calls, warmup, sampler)  # noqa: B023 (called at once)
            results[f"{name}: {kind}"] = r
            g = r["growth"]
            print(f"{name}: {kind}: {r['calls']} calls, growth RSS {g['rss_bytes']} B, "
                  f"traced {g['traced_bytes']} B, blocks {g['blocks']} -> {'flat' if r['flat'] else 'GROWS'}",
                  flush=True)
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
