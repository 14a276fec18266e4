"""Unseen frame wordings (lab.wording_out) for the baseline, lexical and MLP heads.

    python wording.py baseline | lexical SW,SC | mlp H,L2
"""
import lab


def main():
    args = lab.args_or_usage(__doc__)
    d = lab.load()
    kind = args[0]
    if kind == "baseline":
        import baseline

        fp = baseline.make(d)
    elif kind == "lexical":
        import lexical

        sw, sc = map(float, args[1].split(","))
        fp = lexical.make(d, sw, sc)
    else:
        import mlp

        h, l2 = args[1].split(",")
        fp = mlp.make(d, int(h), float(l2))
    print(kind, args[1:], lab.wording_out(d, fp))


if __name__ == "__main__":
    main()
