"""Text hidden in encodings: base64, hex and percent-encoding, and tag characters.

An instruction encoded in base64 reads as noise to a pattern, but a model
decodes it on request. So the guards judge what encoded runs decode to, as
a model would read them:

* base64 in the standard and the URL-safe alphabets, across whitespace and
  line wraps (whitespace is dropped before runs are found), of any length;
  each run is tried at the four alignments, so that words run into its
  first characters do not garble it;
* hex, as pairs of digits, with or without ``\\x``, ``0x`` or ``%`` before
  each pair and ``:`` or ``-`` between them;
* percent-encoding inside a word ("ignore%20all%20previous").

A decoded text is judged when it reads as text: at most a fifth of its
characters are controls, or bytes that are not UTF-8. Control bytes do not
hide it; random bytes (keys, hashes, prose read as base64) are not judged.

Decoding is bounded: a layer decodes to at most three quarters of its input
for base64 and a half for hex, layers nest at most :data:`MAX_DEPTH` deep,
and :func:`layers` stops after decoding :data:`BUDGET` times the input's
length. Every ``re`` call reads one piece of a few thousand characters.
"""

from __future__ import annotations

import binascii
import re
from collections.abc import Iterator

from norv.guards import _windows

__all__ = ["BUDGET", "MAX_DEPTH", "PATTERNS", "decoded", "readable"]

#: Layers of encoding undone: base64 of base64 of hex is found, one more is not.
MAX_DEPTH = 3
#: Decoded characters judged, as a multiple of the input's length (at least 4,096).
BUDGET = 4

# Characters per piece, in units of the search window: the searches below cost
# a few nanoseconds a character.
_SCALE = 16

_SPACE = re.compile(r"\s")
# How far past its nominal end a piece looks for whitespace to end at.
_REACH = 4096
# A word of the base64 alphabets that looks encoded rather than written: four
# characters or more, among them a digit, "+", "/" or padding, or a capital
# after a small letter (not "-" or "_", which hyphenated words and names
# have; the URL-safe alphabet's runs have the others too). Base64 of text has one in nearly
# every five characters; prose words rarely do, and are never looked at one
# by one, nor are short numbers ("22", "1"). A piece is shorter than a match
# may be.
_ENCODED = re.compile(
    r"(?<![A-Za-z0-9+/_=-])(?:(?=[A-Za-z_-]{0,65536}(?:[0-9+/=]|[a-z][A-Z]))[A-Za-z0-9+/_-]{4,65536}={0,2}"
    # The padded end of a run broken into words: only right after one.
    r"|(?<=[A-Za-z0-9+/_-][ \t\r\n])[A-Za-z0-9+/_-]{1,3}={1,2})"
)
# What may stand between two words of one run: whitespace, and at most one
# short word (a run broken every few characters has some).
_GAP = re.compile(r"\s*(?:([A-Za-z0-9+/_-]{1,8})\s+)?")
_URL_SAFE = str.maketrans("-_", "+/")
_HEX = re.compile(r"[0-9A-Fa-fx:%\\-]{16,65536}")
_NOT_HEX = re.compile(r"\\x|0x|[^0-9A-Fa-f]")
_PERCENT_ESCAPE = re.compile(r"%[0-9A-Fa-f]{2}")
_MIXED_ESCAPES = re.compile(r"[G-Zg-z]%[0-9A-Fa-f]{2}|%[0-9A-Fa-f]{2}[G-Zg-z]")
_BAD = re.compile("[\x00-\x08\x0e-\x1f\x7f-\x9f\ufffd]")
_CONTROL = re.compile("[\x00-\x08\x0e-\x1f\x7f-\x9f]")

# Characters of a run decoded first, to judge whether the rest is worth it
# (a multiple of 4 and of 2).
_HEAD = 512
# A run shorter than this decodes to under a dozen bytes: too short for an
# instruction, and common in ordinary words and identifiers.
_MIN_RUN = 16


def readable(data: bytes) -> str | None:
    """``data`` as text if it reads as text, else None. Controls become spaces:
    they separate the words a model would read."""
    text = data.decode("utf-8", "replace")
    if len(text) < 4 or _BAD.subn("", text)[1] * 5 > len(text):
        return None
    return _CONTROL.sub(" ", text)


def _base64(run: str) -> str | None:
    run = run.rstrip("=").translate(_URL_SAFE)
    for offset in range(4):
        body = run[offset:]
        if len(body) < _MIN_RUN:
            return None
        # A last group of two or three characters holds one or two bytes;
        # a single character holds none.
        body = body[:len(body) - 1] if len(body) % 4 == 1 else body + "=" * (-len(body) % 4)
        try:
            # Its head first: a long run of noise is given up after a few hundred bytes.
            if len(body) > _HEAD and readable(binascii.a2b_base64(body[:_HEAD])) is None:
                continue
            text = readable(binascii.a2b_base64(body))
        except binascii.Error:
            continue
        if text is not None:
            return text
    return None


def _hex(run: str) -> str | None:
    digits = _NOT_HEX.sub("", run)
    for offset in range(2):
        body = digits[offset:]
        body = body[:len(body) - len(body) % 2]
        if len(body) < _MIN_RUN:
            return None
        if len(body) > _HEAD and readable(bytes.fromhex(body[:_HEAD])) is None:
            continue
        text = readable(bytes.fromhex(body))
        if text is not None:
            return text
    return None


#: The searches, for the linear-time checks of the tests.
PATTERNS = (_ENCODED, _HEX, _PERCENT_ESCAPE, _MIXED_ESCAPES)


# Escapes in either case; mixed ones ("%eA") are decoded as they come.
_ESCAPED = {f"%{byte:02{case}}".encode(): bytes((byte,)) for byte in range(256) for case in "xX"}
_ESCAPE_BYTES = re.compile(rb"%[0-9A-Fa-f]{2}")


def _unquoted(piece: str) -> str:
    """``piece`` with its percent-escapes decoded (as UTF-8, like a URL's)."""
    data = _ESCAPE_BYTES.sub(lambda match: _ESCAPED.get(match.group()) or bytes.fromhex(match.group()[1:].decode()),
                             piece.encode("utf-8", "surrogatepass"))
    return _CONTROL.sub(" ", data.decode("utf-8", "replace"))


def _pieces(source: _windows.Source) -> Iterator[str]:
    """``source`` in pieces that end after whitespace where there is some
    within :data:`_REACH` characters: words are judged whole."""
    size = _windows.PIECE * _SCALE
    length = len(source)
    start = 0
    while start < length:
        stop = start + size
        if stop < length:
            ahead = source.read(stop, stop + _REACH)
            space = _SPACE.search(ahead)
            stop += space.end() if space is not None else len(ahead)
        yield source.read(start, stop)
        start = stop


def decoded(source: _windows.Source) -> Iterator[str]:
    """The texts that runs of ``source`` decode to, one layer deep: a text for
    each piece that has any, its findings one to a line."""
    carried: list[str] = []  # a base64 run that reached the end of the last piece
    for piece in _pieces(source):
        found: list[str] = []
        # Runs of escapes alone are decoded as hex below; words that mix
        # escapes and letters ("ignore%20all") are decoded here.
        if "%" in piece and _MIXED_ESCAPES.search(piece) is not None:
            found.append(_unquoted(piece))
        compact = "".join(piece.split())  # every whitespace character, as \s has it
        found.extend(text for match in _HEX.finditer(compact) if (text := _hex(match.group())) is not None)
        runs = _runs(piece)
        if carried and (not runs or not runs[0].continues) and not piece.isspace():
            found.extend(_judged("".join(carried)))
            carried = []
        for run in runs:
            if run.continues and carried:
                run.words[:0] = carried
                carried = []
            if run.open:
                carried = run.words
            else:
                found.extend(_judged("".join(run.words)))
        if found:
            yield "\n".join(found)
    if carried:
        yield from _judged("".join(carried))


class _Run:
    __slots__ = ("continues", "open", "words")

    def __init__(self, continues: bool, open: bool, words: list[str]) -> None:
        self.continues = continues  #: it starts the piece, so may go on a run of the last one
        self.open = open  #: it reaches the end of the piece, so may go on in the next
        self.words = words


def _runs(piece: str) -> list[_Run]:
    """Runs of encoded-looking words of ``piece`` with only gaps between them.

    A run too short to decode to anything is dropped here, unless it may go
    on in a neighbouring piece: texts with an encoded-looking word every few
    characters make many.
    """
    runs: list[_Run] = []
    words: list[str] | None = None
    length = 0
    continues = False
    first = True
    end = 0
    for match in _ENCODED.finditer(piece):
        start = match.start()
        gap = None if words is None else _GAP.fullmatch(piece, end, start)
        if words is None or gap is None:
            if words is not None and (length >= _MIN_RUN or continues):
                runs.append(_Run(continues, False, words))
            continues = first and _GAP.fullmatch(piece, 0, start) is not None
            first = False
            words, length = [], 0
        elif gap.group(1):
            words.append(gap.group(1))
            length += len(gap.group(1))
        word = match.group()
        words.append(word)
        length += len(word)
        end = match.end()
        if word.endswith("="):  # padding ends the data
            if length >= _MIN_RUN or continues:
                runs.append(_Run(continues, False, words))
            words = None
    if words is not None:
        reaches_end = _GAP.fullmatch(piece, end) is not None
        if length >= _MIN_RUN or continues or reaches_end:
            runs.append(_Run(continues, reaches_end, words))
    return runs


def _judged(run: str) -> Iterator[str]:
    text = _base64(run)
    if text is not None:
        yield text
