"""The semantic guard's first stage: word evidence in front of the encoder.

Embedding costs about 6 microseconds a character, so a 16,000-character
prompt embedded whole would take 100 ms, twice the coordinator's default
limit, and a scan that overruns the limit lets the prompt through. Most of
a long prompt is ordinary text that the encoder would score far below the
threshold, so each chunk of a long prompt first gets a cheap score: the sum
of the evidence of its distinct lower-case words and adjacent word pairs,
learnt from the training chunks (a word's log-ratio of frequency in attack
chunks to frequency in harmless chunks; only words more frequent in attacks
have evidence, so harmless words cannot lower a chunk's score and padding
a hostile sentence with them does not hide it). Only chunks whose evidence
reaches the cut go to the encoder. The cut keeps all but a small share of
the training chunks that the full guard refuses (tools/semantic/train.py
states the share, and docs/semantic-guard.md what the stage costs in recall).

Counting words needs no model, so the stage costs about 10 microseconds a
chunk, and it is exact integer counting at training time: the same on
every CPU.

A second stage follows it: the head's own lexical term (``_semantic_lexical``,
about 60 microseconds a chunk, float64 sums, the same on every CPU) for the
chunks that pass. The term is most of what tells a hostile chunk from a
harmless one, and chunks far below ``lexical_cut`` are not worth the
encoder's time (about 9 microseconds a character for technical text).
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from itertools import pairwise
from typing import Any

__all__ = ["Gate", "features"]

_WORD = re.compile(r"\w+")


def features(text: str) -> set[str]:
    """A chunk's distinct lower-case words and adjacent word pairs."""
    words = _WORD.findall(text.lower())
    found = set(words)
    found.update(map(" ".join, pairwise(words)))
    return found


class Gate:
    """Decides which chunks of a long prompt are worth embedding."""

    __slots__ = ("_evidence", "cut", "lexical_cut")

    def __init__(self, evidence: Mapping[str, float], cut: float, lexical_cut: float | None = None) -> None:
        self._evidence = dict(evidence)
        self.cut = float(cut)
        #: The least lexical term (bias aside) a chunk that passed needs to be embedded; None: no second stage.
        self.lexical_cut = None if lexical_cut is None else float(lexical_cut)

    @classmethod
    def from_json(cls, data: Mapping[str, Any]) -> Gate:
        return cls(data["evidence"], data["cut"], data.get("lexical_cut"))

    def score(self, chunk: str) -> float:
        get = self._evidence.get
        return sum(get(feature, 0.0) for feature in features(chunk))

    def passes(self, chunk: str) -> bool:
        return self.score(chunk) >= self.cut

    def select(self, pieces: Iterable[str]) -> list[str]:
        """The pieces that pass, the most suspicious first: the encoder sees
        them in batches and stops at the first batch that reaches the threshold."""
        scored = [(self.score(piece), piece) for piece in pieces]
        return [piece for score, piece in sorted(scored, key=lambda item: -item[0]) if score >= self.cut]
