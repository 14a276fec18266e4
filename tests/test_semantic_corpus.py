"""The committed document prompts of the semantic guard: held out by source,
by frame wording, and covering every kind, language and length. No model needed."""

import sys
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[1] / "tools" / "semantic"
sys.path.insert(0, str(TOOLS))

import corpus  # noqa: E402
import documents  # noqa: E402

from norv.guards import semantic  # noqa: E402

SPLITS = documents.SPLITS


@pytest.fixture(scope="module")
def records() -> dict[str, list[dict]]:
    return {split: documents.load(split) for split in SPLITS}


@pytest.mark.parametrize("split", SPLITS)
def test_split_loads_as_harmless_examples_of_known_kinds(split, records):
    examples = corpus.read_documents(split)
    assert len(examples) == len(records[split]) >= 100
    assert {e.label for e in examples} == {0}
    assert {e.kind for e in examples} == set(documents.KINDS)
    assert {e.lang for e in examples} == {*documents.LANGS, "none"}
    assert all(e.text.strip() and e.source for e in examples)


def test_unknown_split_is_refused():
    with pytest.raises(ValueError):
        corpus.read_documents("test")


def test_no_source_lies_in_two_splits(records):
    owner: dict[str, str] = {}
    for split in SPLITS:
        for record in records[split]:
            assert owner.setdefault(record["source"], split) == split, record["source"]
            # The split comes from the name alone: a rebuild on another machine agrees.
            assert documents.split_of(record["source"]) == split


def _opening(template: str) -> str:
    """The wording before the material: what a prompt built from it starts with."""
    return template.split("{text", 1)[0].split("{target}", 1)[0]


@pytest.mark.parametrize("split", ["train", "validation"])
def test_eval_frame_wordings_are_never_used_for_fitting(split, records):
    held = {_opening(eval_wording) for by_lang in documents.FRAMES.values() for _, eval_wording in by_lang.values()}
    fit = {_opening(w) for by_lang in documents.FRAMES.values() for wordings, _ in by_lang.values() for w in wordings}
    assert len(held) == sum(len(by_lang) for by_lang in documents.FRAMES.values())
    assert not held & fit
    for record in records[split]:
        assert not any(record["text"].startswith(opening) for opening in held), record["frame"]
    framed = [r for r in records["eval"] if r["frame"] != "bare"]
    assert framed and all(any(r["text"].startswith(o) for o in held) for r in framed)
    assert not any(r["text"].startswith(o) for r in framed for o in fit if len(o) > 12)


def test_training_split_stays_cheap_to_embed(records):
    pieces = sum(len(semantic.chunks(semantic.prepare(r["text"]))) for r in records["train"])
    assert pieces <= 15_000


@pytest.mark.parametrize("rate", [0.01, 0.02, 0.05, 0.2])
def test_threshold_at_fpr_refuses_at_most_that_share(rate):
    import random

    import evaluate

    rng = random.Random(5)
    # Ties included: many harmless prompts share a score.
    harmless = [round(rng.random(), 2) for _ in range(997)]
    cut = evaluate.threshold_at_fpr(harmless, rate)
    refused = sum(s >= cut for s in harmless)
    assert refused <= rate * len(harmless)
    # The cut is the lowest such: the next score below it would refuse too many.
    below = max(s for s in harmless if s < cut)
    assert sum(s >= below for s in harmless) > rate * len(harmless)
