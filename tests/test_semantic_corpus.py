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


def _split_of_wording(record: dict) -> set[str]:
    """The splits whose wordings (for the record's frame and language) the prompt fits."""
    frame = record["frame"].split("/")[0]
    return {split for split in SPLITS for template in documents.frame_wordings(frame, record["lang"], split)
            if documents.wording_pattern(template, record["lang"]).fullmatch(record["text"])}


@pytest.mark.parametrize("split", SPLITS)
def test_each_split_comes_in_wordings_of_its_own(split, records):
    """The threshold is chosen on wordings the fit never saw, and the held-out
    figures on wordings neither saw."""
    framed = [r for r in records[split] if r["frame"] != "bare"]
    assert len({r["frame"] for r in framed}) >= len(documents.FRAMES) * len(documents.LANGS)
    for record in framed:
        assert _split_of_wording(record) == {split}, record["frame"]


def test_no_wording_is_shared_between_splits():
    for frame, by_lang in documents.FRAMES.items():
        for lang, by_split in by_lang.items():
            assert by_split["eval"] and by_split["validation"] and by_split["train"], (frame, lang)
            seen = [w for split in SPLITS for w in by_split[split]]
            assert len(seen) == len(set(seen)), (frame, lang)


def test_reframing_keeps_the_material(records):
    """Into other wordings and back: the same prompts, JSON-escaped tool
    results and translation targets included."""
    there = documents.reframe(records["eval"], "validation")
    assert sum(a["text"] != b["text"] for a, b in zip(there, records["eval"], strict=True)) > 400
    assert documents.reframe(there, "eval") == records["eval"]


def test_training_split_stays_cheap_to_embed(records):
    pieces = sum(len(semantic.chunks(semantic.prepare(r["text"]))) for r in records["train"])
    assert pieces <= 50_000


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
