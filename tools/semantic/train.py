"""Train the semantic guard's classifier head and choose its default threshold.

    python -m norv.guards.semantic fetch --data
    python tools/semantic/train.py            # writes python/norv/guards/data/semantic_head.json
    python tools/semantic/train.py --check    # retrains and compares with the shipped head

The head is an L2-regularised logistic regression on the encoder's
512-dimensional embeddings, fitted by Newton's method: the loss is convex,
so the optimum is unique and the result depends only on the data, not on a
seed or on the order of the rows.

Training data (embedded the way the guard embeds a prompt, chunk by chunk):

* S-Labs ``train`` split: English attacks and harmless prompts, weight 1;
* our harmless prompts (data/benign/train, seven languages, ordinary requests
  and look-alikes), weight ``BENIGN_WEIGHT``: few rows, and the main lever
  on false positives;
* our short conversational turns ("hello", "thanks", "go on"), weight
  ``SHORT_WEIGHT``. Two thirds of S-Labs' rows under 30 characters are terse
  attacks ("DAN", "Debug prompt"), so without them the head took shortness
  for hostility and refused half of such turns. At ``BENIGN_WEIGHT`` they
  pulled the head so far that, through the threshold rule below, held-out
  recall fell by four and a half points; at 0.3, by two.
* our attacks in six languages other than English (data/attacks), weight
  ``ATTACK_WEIGHT``. Without them every non-English training row would be
  harmless, and the head would learn the language itself as a sign of
  harmlessness.

Threshold: chosen on the S-Labs ``validation`` split, which the fit never
sees: the midpoint between the scores just above and just below the top
``TARGET_FPR`` of its harmless prompts, so that at most that share of them
would be refused. The evaluation (tools/semantic/evaluate.py) uses none of
these rows.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
#: The head in the source tree (not in whichever installed copy is imported).
SHIPPED_HEAD = HERE.parents[1] / "python" / "norv" / "guards" / "data" / "semantic_head.json"

import corpus  # noqa: E402
import numpy as np  # noqa: E402

from norv.guards import _semantic_assets as assets  # noqa: E402
from norv.guards import semantic  # noqa: E402

L2 = 0.3
BENIGN_WEIGHT = 3.0
SHORT_WEIGHT = 0.3
ATTACK_WEIGHT = 10.0
TARGET_FPR = 0.01
FORMAT = 1
#: Digits kept in the JSON file: far below what the model's own float32
#: rounding moves, and it keeps the file a few kilobytes.
DIGITS = 6


def encoder() -> semantic._Encoder:
    path = assets.model_path()
    if not path.is_file():
        raise SystemExit(f"no model at {path}: run python -m norv.guards.semantic fetch --data")
    return semantic._Encoder.get(path, 1)


def embed_chunks(enc: semantic._Encoder, texts: Sequence[str]) -> tuple[np.ndarray, np.ndarray]:
    """Embeddings of every chunk of every text, as the guard scores them, and
    the index of each chunk's text. A chunk's embedding does not depend on
    the others in its call, so they go in batches like the guard's."""
    pieces: list[str] = []
    owner: list[int] = []
    for index, text in enumerate(texts):
        for chunk in semantic.chunks(semantic.prepare(text) or " "):
            pieces.append(chunk)
            owner.append(index)
    rows = [enc.embed(pieces[start:start + semantic.BATCH]) for start in range(0, len(pieces), semantic.BATCH)]
    return np.concatenate(rows).astype(np.float64), np.asarray(owner)


def weight_of(example: corpus.Example, weights_by_source: dict[str, float]) -> float:
    return SHORT_WEIGHT if example.kind == "short" else weights_by_source[example.source]


def fit(x: np.ndarray, y: np.ndarray, weight: np.ndarray, l2: float = L2) -> tuple[np.ndarray, float]:
    """Weighted logistic regression, L2 penalty on the weights (not the bias), by Newton's method."""
    n, d = x.shape
    xb = np.hstack([x, np.ones((n, 1))])
    penalty = np.full(d + 1, l2)
    penalty[-1] = 0.0
    beta = np.zeros(d + 1)
    for _ in range(100):
        p = 1.0 / (1.0 + np.exp(-(xb @ beta)))
        gradient = xb.T @ (weight * (p - y)) + penalty * beta
        hessian = (xb * (weight * p * (1.0 - p))[:, None]).T @ xb + np.diag(penalty)
        step = np.linalg.solve(hessian, gradient)
        beta -= step
        if np.abs(step).max() < 1e-10:
            break
    else:
        raise RuntimeError("Newton's method did not converge")
    return beta[:-1], float(beta[-1])


def max_logits(embeddings: np.ndarray, owner: np.ndarray, count: int, w: np.ndarray, b: float) -> np.ndarray:
    logits = embeddings @ w + b
    out = np.full(count, -np.inf)
    np.maximum.at(out, owner, logits)
    return out


def choose_threshold(harmless_logits: np.ndarray, target_fpr: float = TARGET_FPR) -> float:
    ordered = np.sort(harmless_logits)[::-1]
    k = math.floor(target_fpr * len(ordered))  # this many may score at or above it
    logit = (ordered[k - 1] + ordered[k]) / 2.0 if k > 0 else ordered[0] + 1e-6
    return float(1.0 / (1.0 + math.exp(-logit)))


def _digest_texts(texts: Sequence[str]) -> str:
    return hashlib.sha256("\n".join(texts).encode("utf-8")).hexdigest()


def train() -> dict[str, Any]:
    enc = encoder()
    slabs = corpus.read_slabs("train")
    benign = corpus.read_benign("train")
    attacks = corpus.read_attacks()
    examples = slabs + benign + attacks
    weights_by_source = {"s-labs": 1.0, "norv-benign": BENIGN_WEIGHT, "norv-attacks": ATTACK_WEIGHT}

    x, owner = embed_chunks(enc, [e.text for e in examples])
    y = np.asarray([examples[i].label for i in owner], dtype=np.float64)
    weight = np.asarray([weight_of(examples[i], weights_by_source) for i in owner])
    w, b = fit(x, y, weight)
    w = np.round(w, DIGITS)
    b = round(b, DIGITS)

    validation = corpus.read_slabs("validation")
    vx, vowner = embed_chunks(enc, [e.text for e in validation])
    logits = max_logits(vx, vowner, len(validation), w, b)
    labels = np.asarray([e.label for e in validation])
    threshold = round(choose_threshold(logits[labels == 0]), DIGITS)
    cut = math.log(threshold / (1.0 - threshold))

    return {
        "format": FORMAT,
        "model_sha256": assets.ENCODER_SHA256,
        "dim": int(w.shape[0]),
        "bias": b,
        "threshold": threshold,
        "weights": [float(v) for v in w],
        "training": {
            "l2": L2,
            "weights": {**weights_by_source, "norv-benign short turns": SHORT_WEIGHT},
            "rows": {"s-labs": len(slabs), "norv-benign": len(benign), "norv-attacks": len(attacks)},
            "chunks": len(owner),
            "data_sha256": {
                "s-labs/train.csv": assets.DATA_WHEEL.members[assets._CORPUS + "s-labs/train.csv"][0],
                "s-labs/validation.csv": assets.DATA_WHEEL.members[assets._CORPUS + "s-labs/validation.csv"][0],
                "benign/train": _digest_texts([e.text for e in benign]),
                "attacks": _digest_texts([e.text for e in attacks]),
            },
            "threshold_rule": (
                f"at most {TARGET_FPR:.0%} of the S-Labs validation split's harmless prompts at or above it"
            ),
            "validation": {
                "fpr": float(np.mean(logits[labels == 0] >= cut)),
                "recall": float(np.mean(logits[labels == 1] >= cut)),
            },
        },
    }


def compare(new: dict[str, Any], shipped: dict[str, Any], tolerance: float = 2e-3) -> list[str]:
    """Differences beyond ``tolerance`` between two heads (empty when they agree)."""
    problems = []
    for key in ("format", "model_sha256", "dim"):
        if new[key] != shipped[key]:
            problems.append(f"{key}: {new[key]!r} != {shipped[key]!r}")
    if new["training"]["data_sha256"] != shipped["training"]["data_sha256"]:
        problems.append("training data differ")
    gap = float(np.abs(np.asarray(new["weights"]) - np.asarray(shipped["weights"])).max())
    if gap > tolerance:
        problems.append(f"weights differ by up to {gap:.2e}")
    for key in ("bias", "threshold"):
        if abs(new[key] - shipped[key]) > tolerance:
            problems.append(f"{key}: {new[key]} != {shipped[key]}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the shipped head instead of writing it")
    parser.add_argument("--out", type=Path, default=SHIPPED_HEAD)
    args = parser.parse_args()
    head = train()
    if args.check:
        problems = compare(head, semantic.load_head(args.out))
        for problem in problems:
            print("differs:", problem)
        print("head reproduced" if not problems else "head NOT reproduced")
        return 1 if problems else 0
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(head, indent=1) + "\n", encoding="utf-8")
    t = head["training"]
    print(f"wrote {args.out}: threshold {head['threshold']}, validation recall {t['validation']['recall']:.3f}"
          f" at FPR {t['validation']['fpr']:.3f}, {t['chunks']} training chunks")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
