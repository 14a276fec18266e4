"""Held-out figures, computed once for the configurations chosen on validation.

    python heldout.py baseline | lexical SW,SC | mlp H,L2 [split]

Fits on all training rows, applies the validation threshold rule (dev.npz),
then scores the evaluation sets (heldout.npz) as the guard does: the highest
chunk logit, chunks of prompts over 400 characters through the first stage
(documents scored whatever their length, as evaluate.py does).
"""

import lab
import numpy as np

LOOKALIKE_SOURCES = {"neuralchemy/original", "neuralchemy/harmbench_benign"}


def group_of(label, source, kind):
    if label == 1:
        return "attack"
    if source == "norv-benign":
        return kind
    if kind == "edge_case" or source in LOOKALIKE_SOURCES:
        return "lookalike"
    return "ordinary"


def main():
    args = lab.args_or_usage(__doc__)
    d = lab.load("dev")
    e = lab.load("heldout")
    kind = args[0]
    train = d.split == "train"
    fm = lab.fitted_mask(d, train)
    y = d.label[d.owner].astype(float)
    w = d.weight[d.owner]
    if kind == "baseline":
        import baseline
        wv, b = baseline.newton(d.x[fm], y[fm], w[fm])
        dl, el = d.x @ wv + b, e.x @ wv + b
    elif kind == "lexical":
        import lexical
        import scipy.sparse as sp
        from sklearn.linear_model import LogisticRegression
        from sklearn.preprocessing import normalize

        sw, sc = map(float, args[1].split(","))
        raw_d, raw_e = lexical.blocks(d), lexical.blocks(e)
        parts_d, parts_e = [sp.csr_matrix(d.x)], [sp.csr_matrix(e.x)]
        for md, me, s in zip(raw_d, raw_e, (sw, sc), strict=True):
            if s > 0:
                df = np.asarray((md[fm] > 0).sum(axis=0)).ravel()
                idf = sp.diags(np.log((1 + fm.sum()) / (1 + df)) + 1.0)
                parts_d.append(normalize(md @ idf) * s)
                parts_e.append(normalize(me @ idf) * s)
        Xd, Xe = sp.hstack(parts_d).tocsr(), sp.hstack(parts_e).tocsr()
        clf = LogisticRegression(C=1 / 0.3, solver="lbfgs", max_iter=5000, tol=1e-8)
        clf.fit(Xd[fm], y[fm], sample_weight=w[fm])
        print("lbfgs iterations", clf.n_iter_, "nonzero weights", int((clf.coef_ != 0).sum()))
        dl = Xd @ clf.coef_.ravel() + clf.intercept_[0]
        el = Xe @ clf.coef_.ravel() + clf.intercept_[0]
    else:
        import mlp
        h, l2 = args[1].split(",")
        predict, _ = mlp.fit_mlp(d.x[fm], y[fm], w[fm], int(h), float(l2))
        dl, el = predict(d.x), predict(e.x)
    split = "split" in args
    ev = lab.gate_evidence(d, train)
    res = lab.rule(d, dl, train, lab.gate_scores(d, ev), split)
    print(kind, args[1:], lab.summary(d, res))
    ok = ~e.long[e.owner] | (lab.gate_scores(e, ev) >= res["cut"])
    pl = lab.prompt_logits(e, el, ok)
    t = np.where(e.long, res["t_long"], res["t_short"])
    r = pl >= t
    groups = np.array([group_of(label, s, k) for label, s, k in zip(e.label, e.source_, e.kind, strict=True)])
    chat = np.isin(e.group, ["yanismiraoui", "neuralchemy", "benign-eval"])
    rows = {
        "attacks (yanismiraoui + neuralchemy)": chat & (groups == "attack"),
        "exfiltration (ours, eval)": e.group == "exfiltration-eval",
        "planted (ours, eval)": e.group == "planted-eval",
        "ordinary harmless": chat & (groups == "ordinary"),
        "look-alikes": chat & (groups == "lookalike"),
        "short turns": chat & (groups == "short"),
        "documents (eval)": e.group == "documents-eval",
    }
    for name, m in rows.items():
        print(f"  {name}: {m.sum()} prompts, rate {r[m].mean():.3f}")
    for g in ("yanismiraoui", "exfiltration-eval", "planted-eval"):
        m = e.group == g
        by_lang = {str(lang): round(float(r[m & (e.lang == lang)].mean()), 3) for lang in sorted(set(e.lang[m]))}
        print(f"  {g} by language:", by_lang)


if __name__ == "__main__":
    main()
