"""The semantic guard's lexical features: hashed word and character n-grams.

The encoder judges meaning, and averages wording away: "ignore previous
instructions" and its paraphrases land together, but so do a README's
"ignore case" and a system prompt's "answer only from the context". Beside
the embedding, the head also reads each piece's words: lower-case words and
adjacent word pairs, and the 3- to 5-character n-grams inside each
space-padded word (which survive misspellings, inflections and languages
whose words the encoder's vocabulary splits). Each n-gram is hashed into one
of ``2**BITS`` buckets per kind; a piece's value in a bucket is
``log(1 + count) * idf``, and each kind's vector is scaled to unit length,
so a long piece weighs no more than a short one.

The hash is CRC-32 of the n-gram's UTF-8 bytes: fixed, unlike ``hash()``,
and computed in C. Everything here is integer counting and a few float64
sums per piece: the same features on every CPU. A word's character n-grams
depend on the word alone, so the buckets of recent words are remembered:
about 50 to 65 microseconds for a 100-character piece of documentation
(``bench/semantic.py``), against about 90 without.
"""

from __future__ import annotations

import functools
import hashlib
import re
from collections import Counter
from collections.abc import Sequence
from itertools import pairwise
from typing import Any
from zlib import crc32

__all__ = ["BITS", "KINDS", "Lexical", "char_buckets", "counted", "digest", "idf", "unit_values", "word_buckets"]

BITS = 18
_MASK = (1 << BITS) - 1
#: The two kinds of n-gram, in the order of their blocks of weights.
KINDS = ("word", "char")
_WORD = re.compile(r"\w+")
_CHAR_SIZES = (3, 4, 5)
#: Words up to this long have their n-gram buckets remembered, the latest
#: _MEMO_WORDS of them: a few megabytes at most, however many distinct words
#: a prompt holds. Longer words are rare, and each would be a large entry.
_MEMO_CHARS = 24
_MEMO_WORDS = 1 << 13


def _bucket(gram: str) -> int:
    # Lone surrogates are removed before a text gets here; passing them through keeps this total anyway.
    return crc32(gram.encode("utf-8", "surrogatepass")) & _MASK


def word_buckets(text: str) -> Counter[int]:
    """Bucket counts of a piece's lower-case words and adjacent word pairs."""
    words = _WORD.findall(text.lower())
    grams = words + [f"{a} {b}" for a, b in pairwise(words)]
    return Counter(map(_bucket, grams))


def _word_char_buckets(word: str) -> tuple[int, ...]:
    """The buckets of one lower-case word's 3- to 5-character n-grams, padded
    with a space on either side (a word shorter than an n-gram size gives
    itself, padded, once)."""
    padded = f" {word} "
    length = len(padded)
    grams: list[str] = []
    for size in _CHAR_SIZES:
        if length <= size:
            grams.append(padded)
            break
        grams.extend(padded[start:start + size] for start in range(length - size + 1))
    return tuple(map(_bucket, grams))


_remembered_word_char_buckets = functools.lru_cache(maxsize=_MEMO_WORDS)(_word_char_buckets)


def char_buckets(text: str) -> Counter[int]:
    """Bucket counts of the 3- to 5-character n-grams of each word (``_word_char_buckets``)."""
    buckets: list[int] = []
    extend = buckets.extend
    for word in text.lower().split():
        extend(_remembered_word_char_buckets(word) if len(word) <= _MEMO_CHARS else _word_char_buckets(word))
    return Counter(buckets)


_COUNTERS = {"word": word_buckets, "char": char_buckets}


def counted(numpy: Any, pieces: Sequence[str], kind: str) -> tuple[Any, Any, Any]:
    """The pieces' bucket counts of one kind, as (piece, bucket, count) arrays."""
    count = _COUNTERS[kind]
    owner: list[int] = []
    buckets: list[int] = []
    counts: list[int] = []
    for index, piece in enumerate(pieces):
        found = count(piece)
        owner.extend([index] * len(found))
        buckets.extend(found.keys())
        counts.extend(found.values())
    return (numpy.asarray(owner, dtype=numpy.intp), numpy.asarray(buckets, dtype=numpy.intp),
            numpy.asarray(counts, dtype=numpy.float64))


def idf(numpy: Any, document_frequency: Any, documents: int) -> Any:
    """Smoothed inverse document frequency of each bucket."""
    df = numpy.asarray(document_frequency, dtype=numpy.float64)
    return numpy.log((1.0 + documents) / (1.0 + df)) + 1.0


def unit_values(numpy: Any, rows: Any, cols: Any, counts: Any, inverse: Any, pieces: int) -> Any:
    """``log(1 + count) * idf`` of each (piece, bucket), ``inverse`` holding each
    bucket's IDF, and each piece's vector scaled to unit length."""
    values = numpy.log1p(counts) * inverse[cols]
    norms = numpy.sqrt(numpy.bincount(rows, weights=values * values, minlength=pieces))
    return values / numpy.where(norms > 0.0, norms, 1.0)[rows]


def digest(numpy: Any, arrays: dict[str, Any]) -> str:
    """A digest of named arrays' names, types, shapes and contents (not of
    the file that holds them, whose zip headers hold dates)."""
    found = hashlib.sha256()
    for name in sorted(arrays):
        array = numpy.ascontiguousarray(arrays[name])
        found.update(f"{name}:{array.dtype.str}:{array.shape}\n".encode())
        found.update(array.tobytes())
    return found.hexdigest()


class Lexical:
    """The lexical part of the head: per kind, each bucket's IDF and weight, and the kind's scale."""

    __slots__ = ("_np", "_parts")

    def __init__(self, numpy: Any, idf: dict[str, Any], weights: dict[str, Any], scales: dict[str, float]) -> None:
        self._np = numpy
        # The scale folded into the weights: one multiplication less per piece.
        self._parts = [
            (kind, numpy.asarray(idf[kind], dtype=numpy.float64),
             numpy.asarray(weights[kind], dtype=numpy.float64) * float(scales[kind]))
            for kind in KINDS
        ]

    @classmethod
    def from_arrays(cls, numpy: Any, arrays: dict[str, Any], documents: int, scales: dict[str, float]) -> Lexical:
        """From the arrays shipped with a head: ``df_<kind>`` (in how many of the
        ``documents`` fitted pieces each bucket occurs) and ``weights_<kind>``."""
        return cls(numpy, {kind: idf(numpy, arrays[f"df_{kind}"], documents) for kind in KINDS},
                   {kind: arrays[f"weights_{kind}"] for kind in KINDS}, scales)

    def logits(self, pieces: Sequence[str]) -> Any:
        """The lexical term of each piece's logit (float64)."""
        np = self._np
        total = np.zeros(len(pieces), dtype=np.float64)
        for kind, idf, weights in self._parts:
            rows, cols, counts = counted(np, pieces, kind)
            values = unit_values(np, rows, cols, counts, idf, len(pieces))
            total += np.bincount(rows, weights=values * weights[cols], minlength=len(pieces))
        return total
