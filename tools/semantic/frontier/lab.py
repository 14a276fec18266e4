"""Shared machinery: load the cached embeddings, fit a head, apply train.py's
threshold rule on the validation sets, and leave-one-group-out recall.

Only training and validation rows are read here (dev.npz).

The cache and the logs live in ``$NORV_FRONTIER_DIR`` (default: norv-frontier
in the system's temporary directory).
"""
from __future__ import annotations

import gzip
import json
import math
import os
import sys
import tempfile
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
# This checkout's norv and tools/semantic (corpus, train), ahead of any
# installed copy: the figures must follow the guard code and data beside them.
for _path in (HERE.parent, HERE.parents[2] / "python"):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

import numpy as np  # noqa: E402

from norv.guards import _semantic_gate  # noqa: E402

OUT = Path(os.environ.get("NORV_FRONTIER_DIR") or os.path.join(tempfile.gettempdir(), "norv-frontier"))
WHOLE = 400
TARGET_FPR = 0.01
TARGET_FPR_DOCUMENTS = 0.03
GATE_KEEP = 0.98
GATE_MIN_COUNT = 3
GATE_MIN_EVIDENCE = 0.25
LOGO_GROUPS = ("norv-attacks", "norv-exfiltration", "norv-planted")


def threshold_at_fpr(harmless, fpr):
    ordered = sorted(harmless, reverse=True)
    k = math.floor(fpr * len(ordered))
    while 0 < k < len(ordered) and ordered[k - 1] == ordered[k]:
        k -= 1
    if k >= len(ordered):
        return ordered[-1]
    return (ordered[k - 1] + ordered[k]) / 2.0 if k > 0 else math.nextafter(ordered[0], math.inf)


@dataclass
class Data:
    x: np.ndarray          # chunk embeddings (float64)
    owner: np.ndarray      # chunk -> text
    pieces: list
    texts: list
    split: np.ndarray
    group: np.ndarray
    label: np.ndarray
    lang: np.ndarray
    kind: np.ndarray
    weight: np.ndarray
    length: np.ndarray
    features: list = field(default_factory=list)  # gate features per chunk
    source_: np.ndarray | None = None

    @property
    def long(self):
        return self.length > WHOLE


def load(name="dev") -> Data:
    z = np.load(OUT / f"{name}.npz")
    j = json.loads((OUT / f"{name}.json").read_text(encoding="utf-8"))
    d = Data(z["x"].astype(np.float64), z["owner"], j["pieces"], j["texts"], z["split"], z["group"],
             z["label"].astype(int), z["lang"], z["kind"], z["weight"].astype(float), z["length"])
    d.features = [_semantic_gate.features(p) for p in d.pieces]
    d.source_ = z["source"]
    return d


def gate_evidence(d: Data, text_mask: np.ndarray) -> dict:
    """train.fit_gate's evidence, from every chunk of the texts in text_mask."""
    attack, harmless = Counter(), Counter()
    n_attack = n_harmless = 0
    cmask = text_mask[d.owner]
    for i in np.flatnonzero(cmask):
        if d.label[d.owner[i]]:
            attack.update(d.features[i])
            n_attack += 1
        else:
            harmless.update(d.features[i])
            n_harmless += 1
    ev = {}
    for f, c in sorted(attack.items()):
        if c < GATE_MIN_COUNT:
            continue
        r = math.log((c + 0.5) / (n_attack + 1)) - math.log((harmless[f] + 0.5) / (n_harmless + 1))
        if r >= GATE_MIN_EVIDENCE:
            ev[f] = round(r, 3)
    return ev


def gate_scores(d: Data, ev: dict) -> np.ndarray:
    g = ev.get
    return np.asarray([sum(g(f, 0.0) for f in fs) for fs in d.features])


def fitted_mask(d: Data, text_mask: np.ndarray) -> np.ndarray:
    """Chunks a head is fitted on: every chunk of a long text, the whole of a short one."""
    first = np.r_[True, d.owner[1:] != d.owner[:-1]]
    return text_mask[d.owner] & (d.long[d.owner] | first)


def prompt_logits(d, logits, chunk_ok, n=None):
    out = np.full(len(d.texts), -np.inf)
    np.maximum.at(out, d.owner[chunk_ok], logits[chunk_ok])
    return out


def rule(d: Data, logits: np.ndarray, train_texts: np.ndarray, ev_scores: np.ndarray,
         split_thresholds: bool = False, doc_mask: np.ndarray | None = None) -> dict:
    """train.py's threshold rule on chunk logits; returns thresholds (logits)
    and per-text logits (long texts through the gate)."""
    val_s = d.group == "s-labs-validation"
    val_d = d.group == "documents-validation" if doc_mask is None else doc_mask
    all_chunks = np.ones(len(d.pieces), bool)
    pl_nogate = prompt_logits(d, logits, all_chunks)
    harmless_s = val_s & (d.label == 0)
    first = threshold_at_fpr(pl_nogate[harmless_s].tolist(), TARGET_FPR)
    # gate cut: keeps GATE_KEEP of the training chunks refused at `first`
    tr_chunks = train_texts[d.owner]
    refused = ev_scores[tr_chunks & (logits >= first)]
    s = np.sort(refused)
    cut = s[math.floor((1.0 - GATE_KEEP) * len(s))] - 1e-6
    chunk_ok = ~d.long[d.owner] | (ev_scores >= cut)
    pl = prompt_logits(d, logits, chunk_ok)
    second = threshold_at_fpr(pl[val_d].tolist(), TARGET_FPR_DOCUMENTS)
    res = {"first": first, "second": second, "cut": cut, "pl": pl}
    if not split_thresholds:
        res["t_short"] = res["t_long"] = max(first, second)
    else:
        # Short prompts (<= 400 characters, scored whole and by sentence): the
        # higher of <= 1% of S-Labs' short harmless prompts and <= 3% of the
        # short validation documents. Long prompts (chunks through the first
        # stage): <= 3% of the long validation documents (and <= 1% of S-Labs'
        # long harmless prompts, if any).
        short = ~d.long
        t_short = max(threshold_at_fpr(pl[harmless_s & short].tolist(), TARGET_FPR),
                      threshold_at_fpr(pl[val_d & short].tolist(), TARGET_FPR_DOCUMENTS))
        t_long = threshold_at_fpr(pl[val_d & d.long].tolist(), TARGET_FPR_DOCUMENTS)
        hl = pl[harmless_s & d.long]
        if len(hl):
            t_long = max(t_long, threshold_at_fpr(hl.tolist(), TARGET_FPR))
        res["t_short"], res["t_long"] = t_short, t_long
    return res


def refused(d, res, mask=None):
    t = np.where(d.long, res["t_long"], res["t_short"])
    r = res["pl"] >= t
    return r if mask is None else r[mask]


def summary(d, res):
    val_s = d.group == "s-labs-validation"
    val_d = d.group == "documents-validation"
    r = refused(d, res)
    long_attacks = val_s & (d.label == 1) & d.long
    return {
        "thr": (1 / (1 + math.exp(-res["t_short"])), 1 / (1 + math.exp(-res["t_long"]))),
        "thr_slabs": 1 / (1 + math.exp(-res["first"])), "thr_docs": 1 / (1 + math.exp(-res["second"])),
        "val_recall": r[val_s & (d.label == 1)].mean(),
        "val_fpr": r[val_s & (d.label == 0)].mean(),
        "doc_fpr": r[val_d].mean(),
        "val_recall_short": r[val_s & (d.label == 1) & ~d.long].mean(),
        "val_recall_long": r[long_attacks].mean() if long_attacks.any() else float("nan"),
    }


def experiment(d: Data, fit_predict, split_thresholds=False, logo=True, per_lang=True, both=False):
    """fit_predict(train_chunk_mask, chunk_labels, chunk_weights) -> logits for all chunks.
    With both=True, returns (one threshold, split thresholds) from the same fits."""
    train_all = d.split == "train"
    modes = (False, True) if both else (split_thresholds,)
    outs = [{} for _ in modes]
    ev = gate_evidence(d, train_all)
    fm = fitted_mask(d, train_all)
    logits = fit_predict(fm, d.label[d.owner].astype(float), d.weight[d.owner])
    gs = gate_scores(d, ev)
    for out, m in zip(outs, modes, strict=True):
        out["all"] = summary(d, rule(d, logits, train_all, gs, m))
    if logo:
        for g in LOGO_GROUPS:
            tr = train_all & (d.group != g)
            gs = gate_scores(d, gate_evidence(d, tr))
            fm = fitted_mask(d, tr)
            logits = fit_predict(fm, d.label[d.owner].astype(float), d.weight[d.owner])
            for out, m in zip(outs, modes, strict=True):
                res = rule(d, logits, tr, gs, m)
                s = summary(d, res)
                held = d.group == g
                r = refused(d, res)
                s["logo_recall"] = r[held].mean()
                if per_lang:
                    s["logo_lang"] = {str(lang): round(float(r[held & (d.lang == lang)].mean()), 3)
                                      for lang in sorted(set(d.lang[held]))}
                out[g] = s
    return tuple(outs) if both else outs[0]


def fmt(out):
    lines = []
    a = out["all"]
    lines.append(f"  all: thr {a['thr'][0]:.4f}/{a['thr'][1]:.4f}"
                 f" (slabs {a['thr_slabs']:.4f} docs {a['thr_docs']:.4f})"
                 f" val_recall {a['val_recall']:.3f}"
                 f" (short {a['val_recall_short']:.3f} long {a['val_recall_long']:.3f})"
                 f" val_fpr {a['val_fpr']:.3f} doc_fpr {a['doc_fpr']:.3f}")
    for g in LOGO_GROUPS:
        if g in out:
            s = out[g]
            lines.append(f"  -{g}: logo_recall {s['logo_recall']:.3f} (val_recall {s['val_recall']:.3f},"
                         f" doc_fpr {s['doc_fpr']:.3f}, thr {s['thr'][0]:.4f}/{s['thr'][1]:.4f})"
                         f" {s.get('logo_lang', '')}")
    return "\n".join(lines)


def frames(d: Data) -> np.ndarray:
    """Each document prompt's frame wording ("summarise/de/1", "bare"), "" for other texts."""
    here = HERE.parent / "data" / "documents"
    out = np.full(len(d.texts), "", dtype=object)
    for group, split in (("documents", "train"), ("documents-validation", "validation")):
        rows = [json.loads(line) for line in gzip.open(here / f"{split}.jsonl.gz", "rt", encoding="utf-8")]
        idx = np.flatnonzero(d.group == group)
        assert len(idx) == len(rows) and all(d.texts[i] == r["text"] for i, r in zip(idx, rows, strict=True))
        for i, r in zip(idx, rows, strict=True):
            out[i] = r["frame"]
    return out


def wording_out(d: Data, fit_predict) -> dict:
    """Unseen frame wordings: fit without the training documents framed by
    wording k (k = 0, 1), choose the threshold with the validation documents
    framed by the other wording or bare, and report the false-positive rate on
    the validation documents framed by wording k (unseen) beside the rest (seen)."""
    fr = frames(d)
    idx = np.array([f.rsplit("/", 1)[-1] if "/" in f else "bare" for f in fr])
    out = {}
    for k in ("0", "1"):
        tr = (d.split == "train") & ~((d.group == "documents") & (idx == k))
        gs = gate_scores(d, gate_evidence(d, tr))
        logits = fit_predict(fitted_mask(d, tr), d.label[d.owner].astype(float), d.weight[d.owner])
        vd = d.group == "documents-validation"
        res = rule(d, logits, tr, gs, False, doc_mask=vd & (idx != k))
        r = refused(d, res)
        val_s = d.group == "s-labs-validation"
        out[k] = {"unseen_fpr": float(r[vd & (idx == k)].mean()), "seen_fpr": float(r[vd & (idx != k)].mean()),
                  "val_recall": float(r[val_s & (d.label == 1)].mean()),
                  "thr": 1 / (1 + math.exp(-res["t_long"]))}
    return out


def args_or_usage(doc: str | None, required: bool = True) -> list[str]:
    """The command-line arguments; with -h / --help, or none when some are
    required, the script's docstring and exit, rather than start a long run."""
    args = sys.argv[1:]
    if (required and not args) or (args and args[0] in ("-h", "--help")):
        print((doc or "").strip())
        raise SystemExit(0 if args else 2)
    return args
