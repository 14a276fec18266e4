"""Lexical features: hashed word uni/bi-grams and character 3-5-grams of each chunk beside
the embedding, one L2 logistic regression (sklearn lbfgs; penalty 0.3 as train.py,
intercept unpenalised). Lexical blocks: log(1 + count) x IDF (from the fitted
chunks of each fit), each row L2-normalised, then scaled by `scale`
(a larger scale = a weaker penalty on that block).

    python lexical.py SCALE_WORD,SCALE_CHAR [...] [logo]
"""
import time

import lab
import numpy as np
import scipy.sparse as sp
from sklearn.feature_extraction.text import HashingVectorizer
from sklearn.linear_model import LogisticRegression
from sklearn.preprocessing import normalize

BITS = 18


def blocks(d):
    word = HashingVectorizer(n_features=2 ** BITS, analyzer="word", token_pattern=r"(?u)\b\w+\b",
                             ngram_range=(1, 2), lowercase=True, alternate_sign=False, norm=None)
    char = HashingVectorizer(n_features=2 ** BITS, analyzer="char_wb", ngram_range=(3, 5),
                             lowercase=True, alternate_sign=False, norm=None)
    out = []
    for v in (word, char):
        m = v.transform(d.pieces).tocsr().astype(np.float64)
        m.data = np.log1p(m.data)
        out.append(m)
    return out


def weigh(m, mask):
    df = np.asarray((m[mask] > 0).sum(axis=0)).ravel()
    idf = np.log((1 + mask.sum()) / (1 + df)) + 1.0
    return normalize(m @ sp.diags(idf), norm="l2")


def make(d, scale_word, scale_char, l2=0.3, raw=None):
    raw = raw or blocks(d)

    def fp(mask, y, w):
        parts = [sp.csr_matrix(d.x)]
        for m, s in zip(raw, (scale_word, scale_char), strict=True):
            if s > 0:
                parts.append(weigh(m, mask) * s)
        X = sp.hstack(parts).tocsr()
        clf = LogisticRegression(C=1.0 / l2, solver="lbfgs", max_iter=5000, tol=1e-8)
        clf.fit(X[mask], y[mask], sample_weight=w[mask])
        return X @ clf.coef_.ravel() + clf.intercept_[0]
    return fp


if __name__ == "__main__":
    args = lab.args_or_usage(__doc__)
    d = lab.load()
    raw = blocks(d)
    logo = "logo" in args
    configs = [tuple(map(float, c.split(","))) for c in args if c != "logo"]
    for sw, sc in configs:
        t = time.time()
        one, split = lab.experiment(d, make(d, sw, sc, raw=raw), logo=logo, both=True)
        print(f"lexical word x{sw} char x{sc} ({time.time() - t:.0f}s)")
        print(lab.fmt(one), flush=True)
        print("  + split thresholds")
        print(lab.fmt(split), flush=True)
