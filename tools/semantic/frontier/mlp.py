"""One-hidden-layer MLP head (tanh) on the embedding, same chunk weights,
L2 penalty on both weight matrices (not the biases), full-batch L-BFGS from a
fixed seed, run to convergence (gradient tolerance 1e-6 or MAXITER iterations;
the report logs the final gradient).

    python mlp.py HIDDEN,L2 [...] [logo]
"""
import time

import lab
import numpy as np
from scipy.optimize import minimize

MAXITER = 400


def fit_mlp(x, y, w, hidden, l2, seed=0, maxiter=MAXITER):
    d = x.shape[1]
    rng = np.random.default_rng(seed)
    theta0 = np.concatenate([rng.normal(0, 1 / np.sqrt(d), d * hidden), np.zeros(hidden),
                             rng.normal(0, 1 / np.sqrt(hidden), hidden), np.zeros(1)])

    def unpack(t):
        W1 = t[:d * hidden].reshape(d, hidden)
        b1 = t[d * hidden:d * hidden + hidden]
        w2 = t[d * hidden + hidden:d * hidden + 2 * hidden]
        b2 = t[-1]
        return W1, b1, w2, b2

    def f(t):
        W1, b1, w2, b2 = unpack(t)
        h = np.tanh(x @ W1 + b1)
        z = h @ w2 + b2
        loss = np.sum(w * (np.logaddexp(0, z) - y * z)) + 0.5 * l2 * (np.sum(W1 ** 2) + np.sum(w2 ** 2))
        g = w * (1 / (1 + np.exp(-z)) - y)
        gw2 = h.T @ g + l2 * w2
        gb2 = g.sum()
        gh = np.outer(g, w2) * (1 - h ** 2)
        gW1 = x.T @ gh + l2 * W1
        gb1 = gh.sum(0)
        return loss, np.concatenate([gW1.ravel(), gb1, gw2, [gb2]])

    r = minimize(f, theta0, jac=True, method="L-BFGS-B",
                 options={"maxiter": maxiter, "maxfun": maxiter * 2, "gtol": 1e-6, "ftol": 1e-14})
    W1, b1, w2, b2 = unpack(r.x)
    return (lambda X: np.tanh(X @ W1 + b1) @ w2 + b2), r


def make(d, hidden, l2, seed=0, log=None):
    def fp(mask, y, w):
        predict, r = fit_mlp(d.x[mask], y[mask], w[mask], hidden, l2, seed)
        if log is not None:
            log.append((r.nit, float(np.abs(r.jac).max()), r.message))
        return predict(d.x)
    return fp


if __name__ == "__main__":
    args = lab.args_or_usage(__doc__)
    d = lab.load()
    logo = "logo" in args
    configs = [c.split(",") for c in args if c != "logo"]
    for h, l2 in configs:
        t = time.time()
        log = []
        one, split = lab.experiment(d, make(d, int(h), float(l2), log=log), logo=logo, both=True)
        print(f"mlp hidden {h} l2 {l2} ({time.time() - t:.0f}s) fits: {log}")
        print(lab.fmt(one), flush=True)
        print("  + split thresholds")
        print(lab.fmt(split), flush=True)
