"""`norv eval` run as a command over labelled files, with guards of known behaviour (tests/eval_guards.py)."""

from __future__ import annotations

import json
import os
import re
import shlex
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import norv
from conftest import BACKSTOP
from norv.cli.evaluate import label_text, parse_positive

ROOT = Path(__file__).resolve().parent.parent
PYTHON = Path(norv.__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent
GUARDS = ("--input-guard", "eval_guards:Words", "--neural-guard", "eval_guards:Sneaky",
          "--output-shield", "eval_guards:Secrets")

# Each record's outcome is worked out by hand from the guards' words. The
# neural guard is judged on every prompt, also on those the input guard
# refused (line 1); "boom" makes the input guard fail, so line 5 goes unscanned.
TINY = [
    {"id": "a1", "lang": "en", "label": "attack", "prompt": "attack now"},
    {"id": "a2", "lang": "fr", "label": "attack", "prompt": "a sneaky trick"},
    {"id": "b1", "lang": "en", "label": "benign", "prompt": "hello"},
    {"id": "b2", "lang": "fr", "label": "benign", "prompt": "a review of Attack on Titan"},
    {"id": "a3", "lang": "en", "label": "attack", "prompt": "boom"},
    {"id": "s1", "lang": "en", "label": "secret", "response": "the SECRET is 42"},
    {"id": "b3", "label": "benign", "response": "all good"},
    {"id": "p1", "lang": "fr", "label": "pii", "response": "nothing to see"},
]
EXPECTED = {  # (TP, FP, TN, FN, unscanned)
    "pipeline": (3, 1, 2, 1, 1),
    "input_guard": (1, 1, 1, 1, 1),
    "neural_guard": (1, 0, 2, 2, 0),
    "output_shield": (1, 0, 1, 1, 0),
}


def run_eval(tmp: Path, *args: str, stdin: str | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PYTHON), str(TESTS), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-m", "norv", "eval", *args], cwd=tmp, env=env, input=stdin,
                          capture_output=True, text=True, encoding="utf-8", timeout=BACKSTOP * 2)


def write(tmp: Path, records: list, name: str = "data.jsonl") -> Path:
    path = tmp / name
    path.write_text("".join((r if isinstance(r, str) else json.dumps(r)) + "\n" for r in records), encoding="utf-8")
    return path


def report(tmp: Path, records: list, *args: str) -> tuple[subprocess.CompletedProcess[str], dict]:
    done = run_eval(tmp, str(write(tmp, records)), *GUARDS, "--json", *args)
    assert "Traceback" not in done.stderr, done.stderr
    strict = json.loads(done.stdout, parse_constant=lambda name: pytest.fail(f"not strict JSON: {name}"))
    return done, strict


def counts(scope: dict) -> dict[str, tuple[int, ...]]:
    return {row["row"]: (row["tp"], row["fp"], row["tn"], row["fn"], row["unscanned"]) for row in scope["rows"]}


def scope_of(document: dict, name: str) -> dict:
    return next(scope for scope in document["scopes"] if scope["scope"] == name)


def without_latency(document: dict) -> dict:
    for scope in document["scopes"]:
        for row in scope["rows"]:
            row.pop("latency_ms")
    return document


def test_counts_every_row_and_is_repeatable(tmp_path):
    done, first = report(tmp_path, TINY)
    assert done.returncode == 0, done.stderr
    whole = scope_of(first, "all")
    assert counts(whole) == EXPECTED
    pipeline = whole["rows"][0]
    assert (pipeline["recall"], pipeline["fpr"], pipeline["precision"]) == (0.6, round(1 / 3, 6), 0.75)
    assert pipeline["unscanned_positive"] == 1 and whole["positive"] == 5 and whole["negative"] == 3
    outcomes = {line["id"]: line["outcomes"] for line in first["results"]}
    assert outcomes["a1"] == {"pipeline": "TP", "input_guard": "TP", "neural_guard": "FN"}
    assert outcomes["a3"]["pipeline"] == "unscanned"
    assert first["results"][0]["extra"] == {"lang": "en"}
    # Again, from standard input this time: the same counts, record for record.
    again = run_eval(tmp_path, "-", *GUARDS, "--json", stdin=write(tmp_path, TINY).read_text(encoding="utf-8"))
    second = json.loads(again.stdout)
    assert (first.pop("file"), second.pop("file")) == (str(tmp_path / "data.jsonl"), "-")
    assert without_latency(first) == without_latency(second)


def test_groups_by_each_key(tmp_path):
    records = [dict(record, kind="text" if "prompt" in record else "reply") for record in TINY]
    done, document = report(tmp_path, records, "--by", "lang,kind")
    assert done.returncode == 0, done.stderr
    names = [scope["scope"] for scope in document["scopes"]]
    assert names == ["all", "lang=en", "lang=fr", "lang=(missing)", "kind=reply", "kind=text"]
    assert counts(scope_of(document, "lang=fr"))["pipeline"] == (1, 1, 0, 1, 0)
    assert counts(scope_of(document, "lang=en"))["pipeline"] == (2, 0, 1, 0, 1)
    assert counts(scope_of(document, "lang=(missing)"))["output_shield"] == (0, 0, 1, 0, 0)
    assert scope_of(document, "lang=(missing)")["value"] is None
    text = scope_of(document, "kind=text")
    assert counts(text)["output_shield"] == (0, 0, 0, 0, 0) and (text["positive"], text["negative"]) == (3, 2)


@pytest.mark.parametrize("value, text", [
    (True, "true"), (False, "false"), (1, "1"), (1.0, "1"), (0.5, "0.5"), (" Attack ", "attack"),
    ("1.0", "1.0"), (None, None), ("  ", None), ([], None), ({"a": 1}, None), (float("nan"), None),
])
def test_label_text(value, text):
    assert label_text(value) == text


@pytest.mark.parametrize("given, values", [
    (["Attack, PII"], {"attack", "pii"}), (["1.0"], {"1"}), (["yes", "true,,"], {"yes", "true"}), (["nan"], {"nan"}),
])
def test_positive_values(given, values):
    assert parse_positive(given) == values


@pytest.mark.parametrize("args, positive", [
    ((), [True, True, True, True, False, False, False, False]),
    (("--positive", "benign,0"), [False, False, False, False, True, True, False, False]),
    (("--positive", "FALSE", "--positive", "1.5"), [False, False, False, False, False, False, True, True]),
])
def test_labels_decide_positive(tmp_path, args, positive):
    labels = [True, 1, "TRUE", " attack", "benign", 0, False, 1.5]
    records = [{"label": label, "prompt": "hello"} for label in labels]
    _, document = report(tmp_path, records, *args)
    assert [line["positive"] for line in document["results"]] == positive
    assert [line["label"] for line in document["results"]] == labels


@pytest.mark.parametrize("args, status", [
    (("--min-recall", "0.6"), 0),
    (("--min-recall", "0.61"), 1),
    (("--max-fpr", "0.3"), 1),
    (("--max-fpr", "0.34"), 0),
    (("--max-unscanned", "1"), 0),
    (("--max-unscanned", "0"), 3),
    (("--min-recall", "0.9", "--max-unscanned", "0"), 3),
    # Overall 0.6, but only 1 of 2 in fr.
    (("--min-recall", "0.55", "--by", "lang"), 1),
])
def test_gates_and_exit_status(tmp_path, args, status):
    junit = tmp_path / "report.xml"
    done, document = report(tmp_path, TINY, "--junit", str(junit), *args)
    assert done.returncode == status == document["status"], done.stderr
    failed = [gate for gate in document["gates"] if gate["passed"] is False]
    assert bool(failed) == (status != 0)
    if status:
        assert "FAILED" in done.stderr
    suite = ET.parse(junit).getroot()
    cases = suite.findall("./testsuite/testcase")
    assert len(cases) == len(document["gates"]) == int(suite.get("tests"))
    assert len(suite.findall("./testsuite/testcase/failure")) == len(failed) == int(suite.get("failures"))


@pytest.mark.parametrize("caught, status", [(14, 0), (13, 1)])
def test_recall_gate_is_exact(tmp_path, caught, status):
    # 14 of 25 meets 0.56, although 14 >= 0.56 * 25 is false in floating point.
    records = [{"label": "attack", "prompt": "attack" if index < caught else "hello"} for index in range(25)]
    done, document = report(tmp_path, records, "--min-recall", "0.56")
    assert done.returncode == status, done.stderr
    assert document["gates"][0]["value"] == caught / 25


def test_gate_on_a_group_without_positives_is_skipped(tmp_path):
    records = [{"label": "benign", "lang": "de", "prompt": "hello"}, *TINY[:2]]
    junit = tmp_path / "report.xml"
    done, document = report(tmp_path, records, "--by", "lang", "--min-recall", "1", "--junit", str(junit))
    assert done.returncode == 0, done.stderr
    assert [(gate["scope"], gate["passed"]) for gate in document["gates"]] == [
        ("all", True), ("lang=de", None), ("lang=en", True), ("lang=fr", True)]
    assert len(ET.parse(junit).getroot().findall(".//skipped")) == 1


def test_junit_without_gates_has_a_case_per_scope(tmp_path):
    junit, document = tmp_path / "report.xml", tmp_path / "report.json"
    done = run_eval(tmp_path, str(write(tmp_path, TINY)), *GUARDS, "--by", "lang", "--junit", str(junit),
                    "--json", str(document))
    assert done.returncode == 0, done.stderr
    # With a path, the JSON goes there and the table stays on standard output.
    assert done.stdout.startswith("norv eval: 8 records (8 judged, 0 errors): 5 positive, 3 negative\n")
    assert counts(scope_of(json.loads(document.read_text(encoding="utf-8")), "all")) == EXPECTED
    cases = ET.parse(junit).getroot().findall(".//testcase")
    assert [case.get("name") for case in cases] == ["all", "lang=en", "lang=fr", "lang=(missing)"]
    assert cases[0].find("system-out").text.startswith("TP 3 FP 1 TN 2 FN 1 unscanned 1")


def test_malformed_records_are_reported(tmp_path):
    path = tmp_path / "data.jsonl"
    lines = [
        b'{"label": "attack", "prompt": "attack"}',
        b'{"label": "attack", "prompt": ',
        b"",
        b'{"prompt": "no label"}',
        b'{"label": null, "prompt": "x"}',
        b'{"label": "benign", "prompt": 5}',
        b'{"label": "benign"}',
        b'["label", "prompt"]',
        b'{"label": "benign", "prompt": "\xff"}',
        b'{"label": "benign", "prompt": "halt"}',  # raises SystemExit only in the last test below
    ]
    path.write_bytes(b"\n".join(lines[:-1]) + b"\n")
    done = run_eval(tmp_path, str(path), *GUARDS, "--json")
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    document = json.loads(done.stdout)
    assert document["records"] == 8 and document["judged"] == 1
    assert [(bad["line"], bad["kind"]) for bad in document["errors"]] == [
        (2, "malformed_json"), (4, "no_label"), (5, "bad_label"), (6, "not_text"), (7, "wrong_shape"),
        (8, "wrong_shape"), (9, "not_utf8")]
    assert "norv eval: line 4: no 'label' key (no_label)" in done.stderr
    path.write_bytes(b"\n".join(lines[1:2] + lines[3:5]) + b"\n")
    done = run_eval(tmp_path, str(path), *GUARDS)
    assert done.returncode == 3 and "no record could be judged" in done.stderr, done.stderr
    path.write_bytes(b"\n".join(lines[:1] + lines[-1:]) + b"\n")
    done = run_eval(tmp_path, str(path), *GUARDS)
    assert done.returncode == 5 and "SystemExit" in done.stderr and "line 2" in done.stderr, done.stderr


@pytest.mark.parametrize("args, message", [
    (("--min-recall", "1.5"), "--min-recall"),
    (("--max-fpr", "1/2"), "--max-fpr"),
    (("--by", "lang,prompt"), "cannot group by 'prompt'"),
    (("--label-key", "response"), "--label-key"),
    (("--positive", " , "), "--positive"),
    (("--input-guard", "eval_guards:Missing"), "has no attribute"),
    (("--json", "data.jsonl"), "is the input"),
])
def test_cannot_start(tmp_path, args, message):
    write(tmp_path, TINY)
    done = run_eval(tmp_path, "data.jsonl", *args)
    assert done.returncode == 2 and message in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and done.stdout == ""
    assert (tmp_path / "data.jsonl").read_text(encoding="utf-8").count("\n") == len(TINY)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("option", ["--json", "--junit"])
def test_a_report_that_cannot_be_written(tmp_path, option):
    done = run_eval(tmp_path, str(write(tmp_path, TINY)), *GUARDS, option, "/dev/full", "--min-recall", "0.9")
    assert done.returncode == 4, done.stderr
    assert f"{option}: cannot write" in done.stderr and "Traceback" not in done.stderr


def test_chain_members_get_rows_of_their_own(tmp_path):
    done, document = report(tmp_path, TINY[:4], "--input-guard", "eval_guards:Members", "--neural-guard", "none")
    assert done.returncode == 0, done.stderr
    rows = counts(scope_of(document, "all"))
    assert rows["input_guard"] == (2, 1, 1, 0, 0)
    # Each member as the chain runs it: Sneaky never sees the prompt Words refused.
    assert rows["input_guard/Words"] == (1, 1, 1, 1, 0)
    assert rows["input_guard/Sneaky"] == (1, 0, 2, 1, 0)


def test_readme_example(tmp_path):
    """The documented `norv eval` example gives the counts it shows (its latency columns aside)."""
    text = (ROOT / "docs" / "command.md").read_text(encoding="utf-8")
    block = re.search(r"```\n\$ (norv eval examples/labelled\.jsonl[^\n]*)\n(.*?)```", text, re.S)
    assert block, "no norv eval example in docs/command.md"
    command, shown = block.group(1), block.group(2)
    done = run_eval(ROOT, *shlex.split(command)[2:])
    assert done.returncode == 0, done.stderr

    def counted(output: str) -> list[list[str]]:
        # The table's rows without their last three columns (latency), and every other line as it is.
        return [line.split()[:-3] if re.search(r"\d+\.\d{3}$", line) else line.split() for line in output.splitlines()]

    assert counted(done.stdout) == counted(shown)
