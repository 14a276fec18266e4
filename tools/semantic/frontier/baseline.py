"""Baseline: the previous shipped head (L2 logistic regression on the embedding alone, Newton) under the same rule.

    python baseline.py
"""
import lab
import numpy as np


def newton(x, y, weight, l2=0.3):
    n, d = x.shape
    xb = np.hstack([x, np.ones((n, 1))])
    penalty = np.full(d + 1, l2)
    penalty[-1] = 0.0  # the intercept is not penalised
    beta = np.zeros(d + 1)
    for _ in range(100):
        p = 1.0 / (1.0 + np.exp(-(xb @ beta)))
        g = xb.T @ (weight * (p - y)) + penalty * beta
        h = (xb * (weight * p * (1.0 - p))[:, None]).T @ xb + np.diag(penalty)
        step = np.linalg.solve(h, g)
        beta -= step
        if np.abs(step).max() < 1e-10:
            break
    return beta[:-1], beta[-1]


def make(d, l2=0.3):
    def fp(mask, y, w):
        wv, b = newton(d.x[mask], y[mask], w[mask], l2)
        return d.x @ wv + b
    return fp


if __name__ == "__main__":
    lab.args_or_usage(__doc__, required=False)
    d = lab.load()
    one, split = lab.experiment(d, make(d), both=True)
    print("baseline, one threshold")
    print(lab.fmt(one), flush=True)
    print("baseline, split thresholds")
    print(lab.fmt(split))
