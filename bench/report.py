"""Turns the JSON results of one ``make bench`` into a Markdown table of ratios.

    python bench/report.py bench/results  # writes bench/results/results.md

Reads paired.json, suite.json (pyperf), timeout.json, memory.json and, when
present, instructions.json. Every figure appears beside the floor or peer it
is divided by. The ratio targets are judged on paired.json, where the
contenders take turns, rather than on pyperf's medians, which are measured one
benchmark after the other.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import statistics
import sys

import pyperf

# scenario: (what it measures, its floor in the suite, target or None)
# A target is (which ratio, bound).
SCENARIOS = [
    ("a_input", "process_input, nothing registered", "floor: builtin call", ("peer", 0.45)),
    ("a_output", "process_output, nothing registered", "floor: builtin call", ("peer", 0.45)),
    ("b_output_round_trip", "process_output, echo shield (1 round trip)", "floor: round trip", ("floor", 1.03)),
    ("c_input_two_round_trips", "process_input, two echo guards (2 round trips)", "floor: two round trips",
     ("floor", 1.03)),
    ("d_detection", "process_input, heuristic refuses, no-op log_audit", "floor: refusing round trip",
     ("floor", 1.03)),
    ("e_refused", "process_input(b\"bytes\"), TypeError caught", "floor: builtin refused", ("peer", 0.50)),
    ("f_construction", "GovernanceCoordinator()", "floor: pool construction", None),
]


def load(directory, name):
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def verdict(value, bound):
    return "met" if value <= bound else "**missed**"


def target_verdict(target):
    if target["met"]:
        return "met"
    if target.get("beyond_interpreter"):
        return f"below what the interpreter allows: the minimum alone is {target['minimum']:.3f}"
    return "**missed**"


def suite_section(suite):
    medians = {b.get_name(): statistics.median(b.get_values()) for b in suite.get_benchmarks()}
    runs = {b.get_name(): len(b.get_runs()) - 1 for b in suite.get_benchmarks()}  # less calibration
    lines = [
        "| scenario | native | peer | floor | native ÷ peer | native ÷ floor | peer ÷ floor |",
        "|---|---|---|---|---|---|---|",
    ]
    for key, label, floor, _ in SCENARIOS:
        n, p, f = medians.get(f"{key}: native"), medians.get(f"{key}: peer"), medians.get(floor)
        if n is None or p is None or f is None:
            continue
        lines.append(
            f"| ({key[0]}) {label} | {fmt_time(n)} | {fmt_time(p)} | {fmt_time(f)} ({floor[7:]}) "
            f"| {n / p:.3f} | {n / f:.3f} | {p / f:.3f} |"
        )
    g = {k: medians.get(f"g_four_threads: {k}") for k in ("native", "peer")}
    gf = medians.get("floor: four threads round trip")
    if all(g.values()) and gf:
        lines.append(
            f"| (g) four host threads, (b) on one coordinator: calls/s | {1 / g['native']:,.0f}/s "
            f"| {1 / g['peer']:,.0f}/s | {1 / gf:,.0f}/s (four threads round trip) "
            f"| {g['peer'] / g['native']:.3f} | {gf / g['native']:.3f} | {gf / g['peer']:.3f} |"
        )
    counts = sorted(set(runs.values()))
    lines.append("")
    lines.append(
        "Medians of the pyperf values; each benchmark ran in "
        + "/".join(str(c) for c in counts)
        + " worker processes, spread over the rounds. For (g) the ratios are of calls per second "
        "(native's rate ÷ the other's, so above 1 means native is faster). These medians come from "
        "different minutes of a shared machine; the targets are judged on the table above."
    )
    return lines


def paired_section(paired):
    labels = {key: (label, floor) for key, label, floor, _ in SCENARIOS}
    lines = [
        "| scenario | native | peer | floor | native ÷ peer | native ÷ floor | quartiles of the target ratio "
        "| minimum ÷ floor | target | result |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for key, r in paired.items():
        label, floor = labels.get(key, (key, "floor"))
        t = r["target"]
        q = r["ratios"][t["ratio"]]["quartiles"]
        m = r["median_s"]
        least = r["ratios"].get("minimum/floor")
        least = "—" if least is None else f"{least['median']:.3f}"
        lines.append(
            f"| ({key[0]}) {label} | {fmt_time(m['native'])} | {fmt_time(m['peer'])} "
            f"| {fmt_time(m['floor'])} ({floor[7:]}) | {r['ratios']['native/peer']['median']:.3f} "
            f"| {r['ratios']['native/floor']['median']:.3f} | {q[0]:.3f} – {q[-1]:.3f} "
            f"| {least} "
            f"| {t['ratio'].replace('/', ' ÷ ')} ≤ {t['bound']} | {target_verdict(t)} |"
        )
    lines.append("")
    lines.append(
        "Each scenario: rounds in one process, one block per contender per round, the order rotating; a ratio "
        "is taken between blocks of the same round, and the table gives the median ratio (and the median block "
        "time per call). Rounds and blocks: "
        + ", ".join(f"{k} {r['blocks']} × {r['calls_per_block']:,} calls" for k, r in paired.items())
        + ". The minimum (round trips only) is the least any implementation of the behaviour does beyond the "
        "bare round trip, written inline in the timing loop (bench/scenarios.py); a target that the minimum "
        "misses too is beyond what the interpreter allows."
    )
    return lines


def timeout_section(t):
    lines = [
        f"Limit {t['limit_s'] * 1e3:.0f} ms, scan sleeps {t['scan_sleep_s']:.0f} s; overshoot = call duration − limit.",
        "",
        "| contender | calls | p50 | p99 | max | p99 ÷ floor p99 | target (p99) | result |",
        "|---|---|---|---|---|---|---|---|",
    ]
    floor_p99 = t["floor"]["p99_ms"]
    for k in ("native", "peer", "floor"):
        s = t[k]
        goal, result = ("< 2 ms", "met" if s["p99_ms"] < 2 else "**missed**") if k == "native" else ("—", "—")
        lines.append(
            f"| {k} | {s['calls']} | {s['p50_ms']:.3f} ms | {s['p99_ms']:.3f} ms | {s['max_ms']:.3f} ms "
            f"| {s['p99_ms'] / floor_p99:.2f} | {goal} | {result} |"
        )
    return lines


def memory_section(m):
    tol = m["tolerance"]
    lines = [
        "| loop | calls | RSS growth | tracemalloc growth | allocated blocks growth | result |",
        "|---|---|---|---|---|---|",
    ]
    for k, r in m.items():
        if k in ("tolerance", "sampler"):
            continue
        g = r["growth"]
        lines.append(
            f"| {k} | {r['calls']:,} (after {r['warmup']:,}) | {g['rss_bytes']:,} B | {g['traced_bytes']:,} B "
            f"| {g['blocks']:,} | {'flat' if r['flat'] else '**grows**'} |"
        )
    lines.append("")
    lines.append(
        f"Flat = growth at most {tol['rss_bytes']:,} B RSS, {tol['traced_bytes']:,} B traced, {tol['blocks']:,} blocks "
        "between the first and last of 11 samples (full collection before each), less what the samples themselves "
        f"take ({m['sampler']['traced_bytes']:,} B traced, {m['sampler']['blocks']:,} blocks, "
        "measured on an empty call)."
    )
    return lines


def instructions_section(ins):
    ir = ins["ir_per_call"]
    trips = ins.get("calls_per_case", {}).get("floor: round trip", ins["calls"] // 10)
    pairs = [
        ("a_input", "floor: builtin call"), ("a_output", "floor: builtin call"),
        ("e_refused", "floor: builtin refused"), ("b_output_round_trip", "floor: round trip"),
        ("c_input_two_round_trips", "floor: two round trips"), ("d_detection", "floor: refusing round trip"),
    ]
    lines = [
        "| scenario | native | peer | floor | native ÷ peer | native ÷ floor | native − floor | minimum − floor |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for key, floor in pairs:
        n, p, f = ir.get(f"{key}: native"), ir.get(f"{key}: peer"), ir.get(floor)
        if None in (n, p, f):
            continue
        least = ir.get(f"{key}: minimum")
        lines.append(f"| {key} | {n:,.0f} | {p:,.0f} | {f:,.0f} ({floor[7:]}) | {n / p:.3f} | {n / f:.3f} "
                     f"| {n - f:+,.0f} | {'—' if least is None else f'{least - f:+,.0f}'} |")
    attribute = ins.get("attribute_ir_per_call")
    if attribute:
        lines += [
            "",
            "Of those, inside the C API's attribute protocol (`PyObject_GetAttr`, `_PyObject_GetMethod`, "
            "`_PyObject_LookupAttr` and what they call), and what the coordinator does beyond the minimum "
            "with and without it:",
            "",
            "| scenario | native | peer | minimum | floor | native − minimum | the same, less the attribute protocol |",
            "|---|---|---|---|---|---|---|",
        ]
        for key, floor in pairs:
            a = {k: attribute.get(f"{key}: {k}") for k in ("native", "peer", "minimum")}
            if a["native"] is None:
                continue
            gap = extra = "—"
            if a["minimum"] is not None:
                total = ir[f"{key}: native"] - ir[f"{key}: minimum"]
                gap, extra = f"{total:+,.0f}", f"{total - (a['native'] - a['minimum']):+,.0f}"
            shown = {k: "—" if v is None else f"{v:,.0f}" for k, v in a.items()}
            lines.append(f"| {key} | {shown['native']} | {shown['peer']} | {shown['minimum']} "
                         f"| {attribute.get(floor, 0):,.0f} | {gap} | {extra} |")
    lines.append("")
    lines.append(
        f"Instructions per call: callgrind, each case run with N and 2N calls, the difference over N, less an "
        f"empty loop's {ins['empty_loop_ir']:.0f} (N = {ins['calls']:,}, and {trips:,} for round trips, which "
        "count both threads' instructions)."
    )
    return lines


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")
    stamps = [os.path.getmtime(os.path.join(directory, n)) for n in os.listdir(directory) if n.endswith(".json")]
    finished = datetime.datetime.fromtimestamp(max(stamps, default=0), datetime.UTC)
    out = [
        "# norv benchmark results",
        "",
        f"- run finished: {finished:%Y-%m-%d %H:%M} UTC",
        f"- machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}",
        f"- Python {platform.python_version()} ({platform.python_implementation()})",
        "",
    ]
    paired = load(directory, "paired.json")
    if paired:
        out += ["## Targets: the contenders taking turns (bench/paired.py)", "", *paired_section(paired), ""]
    suite_path = os.path.join(directory, "suite.json")
    if os.path.exists(suite_path):
        out += ["## All scenarios (pyperf)", "", *suite_section(pyperf.BenchmarkSuite.load(suite_path)), ""]
    for title, name, section in (
        ("## (h) Time-out precision", "timeout.json", timeout_section),
        ("## Memory", "memory.json", memory_section),
        ("## Instruction counts", "instructions.json", instructions_section),
    ):
        data = load(directory, name)
        if data:
            out += [title, "", *section(data), ""]
    path = os.path.join(directory, "results.md")
    with open(path, "w") as f:
        f.write("\n".join(out))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
