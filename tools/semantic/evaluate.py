"""Evaluate the semantic guard on data that its training never saw.

    python -m norv.guards.semantic fetch --data
    pip install pyarrow                      # reads the neuralchemy set
    python tools/semantic/evaluate.py [--threshold T] [--out report.md]

Held-out sources (none of their rows is used to fit the head or to choose
its threshold):

* yanismiraoui prompt_injections: attacks in six languages;
* neuralchemy Prompt-injection-dataset ("core" validation and test splits,
  without the rows whose licence forbids redistribution): attacks and
  harmless prompts from several origins;
* our held-out harmless prompts (data/benign/eval), seven languages,
  ordinary requests, look-alikes and short conversational turns, written
  apart from the training ones.

The S-Labs test split is shown too, apart: it comes from the training source.

Harmless prompts are counted in three groups: "ordinary" (our ordinary ones,
neuralchemy's ``benign`` category), "look-alike" (ours, neuralchemy's
``edge_case`` rows, its hand-written hard negatives and the HarmBench benign
counterparts, which touch dangerous subjects harmlessly) and "short" (our
short turns: "hello", "thanks", "go on").

Each prompt is screened three ways: ``PatternGuard`` alone, ``SemanticGuard``
alone, and both registered in one ``GovernanceCoordinator`` (input guard and
neural guard), the way ``norv screen --neural-guard norv.guards:SemanticGuard``
runs them.
"""

from __future__ import annotations

import argparse
import logging
import random
import sys
import time
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
from corpus import Example  # noqa: E402

from norv.guards import PatternGuard  # noqa: E402
from norv.guards.semantic import SemanticGuard  # noqa: E402

LOOKALIKE_CATEGORIES = {"edge_case"}
LOOKALIKE_SOURCES = {"neuralchemy/original", "neuralchemy/harmbench_benign"}


def group_of(example: Example) -> str:
    if example.label == 1:
        return "attack"
    if example.source == "norv-benign":
        return example.kind
    if example.kind in LOOKALIKE_CATEGORIES or example.source in LOOKALIKE_SOURCES:
        return "lookalike"
    return "ordinary"


@dataclass
class Verdicts:
    pattern: bool
    semantic: bool
    both: bool


def screen(examples: list[Example], guard: SemanticGuard) -> tuple[list[Verdicts], list[float]]:
    from norv.core.coordinator import GovernanceCoordinator

    pattern = PatternGuard()
    coordinator = GovernanceCoordinator(10_000, False)  # a limit no scan reaches: judge the guards, not the clock
    coordinator.register_input_guard(pattern)
    coordinator.register_neural_guard(guard)
    refusals = {pattern.refusal_message, guard.refusal_message}
    out = []
    costs = []
    for example in examples:
        text = example.text
        started = time.perf_counter()
        by_semantic = guard.scan(text) is not text
        costs.append(time.perf_counter() - started)
        out.append(Verdicts(
            pattern=pattern.find(text) is not None,
            semantic=by_semantic,
            both=coordinator.process_input(text, None) in refusals and text not in refusals,
        ))
    coordinator._executor.shutdown(wait=True)
    return out, costs


def rate(flags: list[bool]) -> str:
    return f"{sum(flags) / len(flags):.3f}" if flags else "-"


def table(title: str, rows: dict[str, list[tuple[str, Verdicts]]], what: str) -> list[str]:
    lines = [f"### {title}", "", f"| {what} | prompts | PatternGuard | SemanticGuard | both |",
             "|---|---:|---:|---:|---:|"]
    for key in sorted(rows):
        items = [v for _, v in rows[key]]
        lines.append(
            f"| {key} | {len(items)} | {rate([v.pattern for v in items])} | {rate([v.semantic for v in items])}"
            f" | {rate([v.both for v in items])} |"
        )
    return [*lines, ""]


def long_prompt_probe(
    guard: SemanticGuard, harmless_pool: list[Example], lengths: tuple[int, ...], count: int
) -> list[str]:
    """An attack sentence placed in the middle of a long harmless text.

    The harmless text strings together held-out ordinary prompts (ours and
    neuralchemy's) in random order; the attack is a yanismiraoui prompt.
    Shows what the chunking finds, and how often the harmless text alone is
    refused: every chunk is one more chance of a false positive.
    """
    rng = random.Random(7)
    harmless = [e.text for e in harmless_pool]
    attacks = [e.text for e in corpus.read_yanismiraoui()]
    lines = [
        "### An attack hidden in a long harmless prompt", "",
        "| length (chars) | prompts | attack found | harmless text refused | scan p50 (ms) |",
        "|---:|---:|---:|---:|---:|",
    ]
    for length in lengths:
        found, refused, costs = [], [], []
        for _ in range(count):
            parts: list[str] = []
            while sum(len(p) + 1 for p in parts) < length:
                parts.append(rng.choice(harmless).rstrip(".?! ") + ".")
            doc = " ".join(parts)
            middle = doc.find(". ", len(doc) // 2) + 2
            hidden = doc[:middle] + rng.choice(attacks) + " " + doc[middle:]
            started = time.perf_counter()
            refused.append(guard.scan(doc) is not doc)
            costs.append(time.perf_counter() - started)
            found.append(guard.scan(hidden) is not hidden)
        costs.sort()
        lines.append(f"| {length} | {count} | {rate(found)} | {rate(refused)} | {costs[len(costs) // 2] * 1e3:.1f} |")
    return [*lines, ""]


def sweep(held: list[tuple[Example, Verdicts]], scores: list[float], default: float) -> list[str]:
    """SemanticGuard alone at other thresholds: what each buys and costs."""
    lines = [
        "### SemanticGuard alone at other thresholds (held-out data)", "",
        "| threshold | attack recall | ordinary FPR | look-alike FPR | short-turn FPR |", "|---:|---:|---:|---:|---:|",
    ]
    groups = [group_of(e) for e, _ in held]
    for threshold in sorted({default, 0.5, 0.6, 0.7, 0.75, 0.8, 0.85, 0.9}):
        cells = []
        for group in ("attack", "ordinary", "lookalike", "short"):
            flags = [s >= threshold for s, g in zip(scores, groups, strict=False) if g == group]
            cells.append(rate(flags))
        mark = " (default)" if threshold == default else ""
        lines.append(f"| {threshold:g}{mark} | " + " | ".join(cells) + " |")
    return [*lines, ""]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Evaluate SemanticGuard on held-out data.")
    parser.add_argument("--threshold", type=float, help="threshold to evaluate (default: the head's)")
    parser.add_argument("--out", type=Path, help="also write the report to this file")
    parser.add_argument("--long-count", type=int, default=100, help="prompts per length in the long-prompt probe")
    args = parser.parse_args(argv)

    guard = SemanticGuard(threshold=args.threshold)
    heldout = corpus.read_yanismiraoui() + corpus.read_benign("eval")
    heldout += corpus.read_neuralchemy("validation") + corpus.read_neuralchemy("test")
    same_source = corpus.read_slabs("test")

    # The audit log would print a line for every refusal.
    logging.getLogger("norv.coordinator").setLevel(logging.CRITICAL)
    verdicts, costs = screen(heldout + same_source, guard)
    scores = [guard.score(e.text) for e in heldout]
    held = list(zip(heldout, verdicts[:len(heldout)], strict=False))
    slabs = list(zip(same_source, verdicts[len(heldout):], strict=False))

    by_group: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_source_attack: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_source_harmless: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_lang_attack: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_lang_harmless: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    for example, verdict in held:
        group = group_of(example)
        by_group[group].append((example.text, verdict))
        if group == "attack":
            by_source_attack[example.source].append((example.text, verdict))
            if example.source == "yanismiraoui":
                by_lang_attack[example.lang].append((example.text, verdict))
        else:
            by_source_harmless[f"{example.source} ({group})"].append((example.text, verdict))
            if example.source == "norv-benign":
                by_lang_harmless[f"{example.lang} ({group})"].append((example.text, verdict))
    slabs_rows = {
        "S-Labs test, attacks (recall)": [(e.text, v) for e, v in slabs if e.label == 1],
        "S-Labs test, harmless (FPR)": [(e.text, v) for e, v in slabs if e.label == 0],
    }

    costs.sort()
    lines = [
        f"SemanticGuard threshold {guard.threshold} (head default {SemanticGuard(threshold=None).threshold}),"
        f" max_chars {guard.max_chars}.",
        "Cells: share of prompts refused (recall for attacks, false-positive rate for harmless prompts).",
        "",
    ]
    lines += table("Held-out data, by group", by_group, "group")
    lines += table("Held-out attacks, by source (recall)", by_source_attack, "source")
    lines += table("Held-out harmless prompts, by source (false-positive rate)", by_source_harmless, "source")
    lines += table("yanismiraoui attacks, by language (recall)", by_lang_attack, "language")
    lines += table("Our held-out harmless prompts, by language (false-positive rate)", by_lang_harmless, "language")
    lines += table("Training source, test split (not a held-out source)", slabs_rows, "rows")
    lines += sweep(held, scores, guard.threshold)
    ordinary = [e for e in heldout if group_of(e) == "ordinary"]
    lines += long_prompt_probe(guard, ordinary, (500, 1000, 1900), args.long_count)
    lines.append(
        f"SemanticGuard scan time over these {len(costs)} prompts: p50 {costs[len(costs) // 2] * 1e3:.2f} ms,"
        f" p99 {costs[int(len(costs) * 0.99)] * 1e3:.2f} ms (one core; bench/semantic.py measures it properly)."
    )
    report = "\n".join(lines)
    print(report)
    if args.out:
        args.out.write_text(report + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
