"""Cross-source check on S-Labs: fit without the S-Labs training split (attacks and
harmless alike), apply the threshold rule, report recall on the S-Labs validation
attacks, S-Labs validation FPR and validation document FPR.

    python leaveslabs.py baseline | lexical SW,SC
"""
import lab


def main():
    args = lab.args_or_usage(__doc__)
    d = lab.load()
    if args[0] == "baseline":
        import baseline

        fp = baseline.make(d)
    else:
        import lexical

        sw, sc = map(float, args[1].split(","))
        fp = lexical.make(d, sw, sc)
    tr = (d.split == "train") & (d.group != "s-labs")
    gs = lab.gate_scores(d, lab.gate_evidence(d, tr))
    logits = fp(lab.fitted_mask(d, tr), d.label[d.owner].astype(float), d.weight[d.owner])
    print(args, lab.summary(d, lab.rule(d, logits, tr, gs)))


if __name__ == "__main__":
    main()
