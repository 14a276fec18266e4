"""(h) Time-out precision: how long after its limit ``process_output`` returns.

The output shield sleeps one second; the coordinator's limit is the default
50 ms. Each call's overshoot is its duration minus the limit, so it covers the
wait's own lateness, taking the interpreter lock back, and writing the
"TIMEOUT" audit event (through the real ``log_audit``, into a logger whose only
handler discards records, so no terminal I/O is timed).

The native coordinator, the peer, and the floor (a bare
``pool.submit(sleep).result(timeout=0.05)`` catching the time-out) take turns,
one call each per round. A sleeping scan holds its worker for a second, so
rounds are paced to keep each pool's four workers ahead of the queue: nothing
piles up, and the process ends about a second after the last round.

    python bench/timeout_precision.py -o bench/results/timeout.json [--calls 200]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import logging
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scenarios as sc

#: One round every PERIOD seconds: with four workers per pool and scans of one
#: second, a pool can take four calls a second.
PERIOD = 0.30


def percentile(values, p):
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1, round(p / 100 * len(ordered)) - 1))
    return ordered[rank]


def summary(overshoots):
    ms = [v * 1e3 for v in overshoots]
    return {
        "calls": len(ms),
        "p50_ms": statistics.median(ms),
        "p99_ms": percentile(ms, 99),
        "max_ms": max(ms),
        "min_ms": min(ms),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--calls", type=int, default=200, help="calls per contender (at least 200 for a p99)")
    args = parser.parse_args()

    # Audit events are built and handed to logging as usual; only the final
    # write is dropped. A handler on "norv" also keeps the fallback handler quiet.
    logging.getLogger("norv").addHandler(logging.NullHandler())

    limit = sc.LIMIT_S
    sleeper = sc.SleepingModule(1.0)
    pool = sc.floor_pool()

    def floor():
        try:
            return pool.submit(sleeper.scan, sc.PROMPT, None).result(timeout=limit)
        except concurrent.futures.TimeoutError:
            return sc.PROMPT

    calls = {"floor": floor}
    for kind in sc.CONTENDERS:
        c = sc.overrunning(kind)
        assert c.timeout_seconds == limit
        calls[kind] = lambda c=c: c.process_output(sc.PROMPT)

    overshoot = {k: [] for k in calls}
    order = list(calls)
    for i in range(args.calls):
        started = time.perf_counter()
        for k in order[i % len(order):] + order[: i % len(order)]:
            t0 = time.perf_counter()
            result = calls[k]()
            overshoot[k].append(time.perf_counter() - t0 - limit)
            assert result == sc.PROMPT
        spare = PERIOD - (time.perf_counter() - started)
        if spare > 0:
            time.sleep(spare)

    results = {"limit_s": limit, "scan_sleep_s": sleeper.seconds, "period_s": PERIOD}
    for k, values in overshoot.items():
        results[k] = summary(values)
        s = results[k]
        print(f"{k}: overshoot p50 {s['p50_ms']:.3f} ms, p99 {s['p99_ms']:.3f} ms, max {s['max_ms']:.3f} ms",
              flush=True)
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
