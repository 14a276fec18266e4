"""Embed every chunk the experiments need, once, into <NORV_FRONTIER_DIR>/<name>.npz.

    nice -n 19 python tools/semantic/frontier/cache.py dev      # training + validation sets
    nice -n 19 python tools/semantic/frontier/cache.py heldout  # evaluation sets (only for the final figures)

Each npz holds, per chunk: the embedding (float32, as the encoder returns
it), the index of its text; per text: set name, group, label, language,
kind, prepared length. The chunk strings and texts go to a JSON file beside it.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# This checkout's norv and tools/semantic, as lab.py puts them, before the imports that need them.
sys.path[:0] = [str(HERE.parents[2] / "python"), str(HERE.parent)]

import corpus  # noqa: E402
import lab  # noqa: E402
import numpy as np  # noqa: E402
import train  # noqa: E402

from norv.guards import semantic  # noqa: E402


def dev_sets():
    for name, rows, weight in train.training_groups():
        yield "train", name, rows, weight
    yield "val", "s-labs-validation", corpus.read_slabs("validation"), 0.0
    yield "val", "documents-validation", corpus.read_documents("validation"), 0.0


def heldout_sets():
    yield "eval", "yanismiraoui", corpus.read_yanismiraoui(), 0.0
    yield "eval", "neuralchemy", corpus.read_neuralchemy("validation") + corpus.read_neuralchemy("test"), 0.0
    yield "eval", "benign-eval", corpus.read_benign("eval"), 0.0
    yield "eval", "exfiltration-eval", corpus.read_exfiltration("eval"), 0.0
    yield "eval", "planted-eval", corpus.read_planted("eval"), 0.0
    yield "eval", "documents-eval", corpus.read_documents("eval"), 0.0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("which", choices=("dev", "heldout"))
    which = parser.parse_args().which
    sets = dev_sets() if which == "dev" else heldout_sets()
    texts, meta = [], []
    for split, group, rows, weight in sets:
        for e in rows:
            texts.append(e.text)
            meta.append((split, group, e.label, e.lang, e.kind, e.source, weight, len(semantic.prepare(e.text))))
    pieces, owner = train.split_chunks(texts)
    print(f"{len(texts)} texts, {len(pieces)} chunks", flush=True)
    enc = train.encoder()
    started = time.time()
    rows = []
    for start in range(0, len(pieces), semantic.BATCH):
        rows.append(enc.embed(pieces[start:start + semantic.BATCH]))
        if start % (semantic.BATCH * 100) == 0:
            print(f"{start}/{len(pieces)} {time.time() - started:.0f}s", flush=True)
    x = np.concatenate(rows).astype(np.float32)
    lab.OUT.mkdir(parents=True, exist_ok=True)
    np.savez(lab.OUT / f"{which}.npz", x=x, owner=owner,
             split=np.array([m[0] for m in meta]), group=np.array([m[1] for m in meta]),
             label=np.array([m[2] for m in meta]), lang=np.array([m[3] for m in meta]),
             kind=np.array([m[4] for m in meta]), source=np.array([m[5] for m in meta]),
             weight=np.array([m[6] for m in meta]), length=np.array([m[7] for m in meta]))
    (lab.OUT / f"{which}.json").write_text(json.dumps({"pieces": pieces, "texts": texts}), encoding="utf-8")
    print("done", time.time() - started)


if __name__ == "__main__":
    main()
