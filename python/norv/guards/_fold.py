"""One normalisation for every guard: a text folded to what the guards match.

Each character is folded on its own, so a text can be folded in pieces, in
time linear in its length, and every folded character traces back to the one
it came from:

1. Invisible characters are removed: Unicode's Default_Ignorable_Code_Point
   set (zero-width and bidi controls, variation selectors, tag characters,
   fillers), every other format character (category Cf), controls other than
   whitespace, and lone surrogates.
2. The rest is decomposed by compatibility (NFKD): full-width, mathematical,
   circled and other compatibility forms become their plain letters, and
   accented letters become a base letter and combining marks.
3. Combining marks (categories Mn and Me) are removed, leaving the base
   letter: "igno\\u0301re" and "ignóre" both fold to "ignore".
4. Decimal digits of every script become ASCII digits ("٤١١١" is "4111").
5. A letter that looks like a Latin letter becomes that letter, by Unicode's
   confusables data (UTS #39): the Cyrillic "о" in "ignоre" becomes "o".
   Only characters outside ASCII are mapped, and only to ASCII letters (or,
   for symbols and punctuation, to ASCII punctuation): ASCII text folds to
   itself, and no letter becomes a digit (Cyrillic "б" stays "б", where the
   confusables data would make it "6" and a Russian word part of a number).

A character that would fold to more than three characters, or to several
outside ASCII (a Hangul syllable to its letters), is kept as it is, so the
folded text is never more than three times as long as the original.
Whitespace is kept, so words stay apart. What a guard matches on the folded
text it reports in the original through :meth:`Folded.span`, so a shield
that redacts replaces the characters the reader saw.

The folded form of every character the steps change is computed once, by
``tools/unicode/build_fold.py``, and shipped in ``data/fold.json`` with the
Unicode version it was made for; an interpreter with another version of
``unicodedata`` builds the table from the same inputs at first use (half a
second). The confusables data is Unicode's (``data/confusables-ascii.txt``,
licence in ``data/LICENSE-unicode.txt``).
"""

from __future__ import annotations

import bisect
import functools
import itertools
import json
import re
import unicodedata
from collections.abc import Iterable, Mapping, Sequence
from importlib import resources
from typing import NamedTuple

from norv.guards import _windows
from norv.guards._normalise import _char_class

__all__ = ["CONFUSABLES_FILE", "TABLE_FILE", "Folded", "build_table", "fold", "folded_text", "invisible_ranges",
           "parse_confusables", "ranges_of", "tag_text", "warm"]

TABLE_FILE = "fold.json"
CONFUSABLES_FILE = "confusables-ascii.txt"

#: Characters per piece, in units of the search window. Folding a piece is one
#: str.translate call (about 50 ns a character outside ASCII), which holds the
#: interpreter lock; a piece of 32 K characters takes under 2 ms.
SCALE = 16

_MARKS = ("Mn", "Me")
#: The most characters one character folds to: ligatures ("ﬃ"), units ("㎏"), "⑴".
MAX_EXPANSION = 3


def _code_points(ranges: str) -> Iterable[int]:
    for item in ranges.split():
        first, _, last = item.partition("-")
        yield from range(int(first, 16), int(last or first, 16) + 1)


def ranges_of(codes: Iterable[int]) -> str:
    """Sorted code points as hexadecimal ranges: "0600-0605 061C"."""
    parts: list[str] = []
    run: list[int] = []
    for code in sorted(set(codes)):
        if run and code == run[1] + 1:
            run[1] = code
            continue
        if run:
            parts.append(f"{run[0]:04X}" + (f"-{run[1]:04X}" if run[1] > run[0] else ""))
        run = [code, code]
    if run:
        parts.append(f"{run[0]:04X}" + (f"-{run[1]:04X}" if run[1] > run[0] else ""))
    return " ".join(parts)


def parse_confusables(lines: Iterable[str]) -> dict[str, str]:
    """The mappings of a confusables.txt (or an extract): source character to prototype."""
    mapping: dict[str, str] = {}
    for line in lines:
        fields = line.split("#", 1)[0].split(";")
        if len(fields) < 2 or not fields[0].strip():
            continue
        source = fields[0].split()
        if len(source) == 1:
            mapping[chr(int(source[0], 16))] = "".join(chr(int(code, 16)) for code in fields[1].split())
    return mapping


def _prototype(char: str, confusables: Mapping[str, str]) -> str | None:
    """The ASCII a character outside ASCII stands for, or None."""
    prototype = confusables.get(char)
    if prototype is None or not prototype.isascii():
        return None
    category = unicodedata.category(char)
    if category.startswith("L"):
        if not prototype.isalpha():
            return None  # a letter never becomes a digit or punctuation
        # The data makes capital I-like letters an "l" (its prototype for "I"
        # too); a capital stays a capital, which case-sensitive patterns need.
        return "I" if prototype == "l" and category == "Lu" else prototype
    if category[0] in "PS" and not any(char.isdigit() for char in prototype):
        return prototype
    return None


def _removed(char: str, ignorable: set[int]) -> bool:
    category = unicodedata.category(char)
    return (ord(char) in ignorable or category in ("Cf", "Cs")
            or (category == "Cc" and not char.isspace()))


def build_table(ignorable_ranges: str, confusables: Mapping[str, str]) -> dict[int, str]:
    """Every character that folding changes, with what it folds to ("" when removed)."""
    ignorable = set(_code_points(ignorable_ranges))
    table: dict[int, str] = {}
    for code in range(0x110000):
        char = chr(code)
        if _removed(char, ignorable):
            table[code] = ""
            continue
        if code < 0x80:
            continue
        parts = []
        for part in unicodedata.normalize("NFKD", char):
            if unicodedata.category(part) in _MARKS or _removed(part, ignorable):
                continue
            if part.isascii():
                parts.append(part)
            elif unicodedata.category(part) == "Nd":
                parts.append(str(unicodedata.decimal(part)))
            else:
                parts.append(_prototype(part, confusables) or part)
        folded = "".join(parts)
        # A character that would fold to several others of another script
        # (Hangul syllables to their letters, Arabic ligatures, U+FDFA to
        # eighteen) or to more than three ASCII characters ("rad/s2") stays as
        # it is: no pattern is written in them, and each folded character
        # costs every search as much as one of the text.
        if len(folded) > 1 and (not folded.isascii() or len(folded) > MAX_EXPANSION):
            continue
        if folded != char:
            table[code] = folded
    return table


class _Data(NamedTuple):
    table: dict[int, str]
    ignorable: str  #: the Default_Ignorable_Code_Point ranges the table was built with


@functools.cache
def _data() -> _Data:
    folder = resources.files("norv.guards") / "data"
    shipped = json.loads((folder / TABLE_FILE).read_text(encoding="utf-8"))
    if shipped["unicode"] == unicodedata.unidata_version:
        table = dict.fromkeys(_code_points(shipped["removed"]), "")
        table.update((int(code, 16), value) for code, value in shipped["table"].items())
    else:
        with (folder / CONFUSABLES_FILE).open(encoding="utf-8") as lines:
            table = build_table(shipped["ignorable"], parse_confusables(lines))
    return _Data(table, shipped["ignorable"])


def _class(codes: Iterable[int]) -> str:
    """A character class of ``codes``, the first plane apart from the rest:
    re tests a class of the first plane by table, one reaching beyond range by
    range."""
    ranges = ranges_of(codes)
    low = _char_class(ranges, 0, 0xFFFF)
    high = _char_class(ranges, 0x10000, 0x10FFFF)
    parts = [f"[{low}]"] if low else []
    if high:
        parts.append(f"(?=[\U00010000-\U0010ffff])[{high}]")
    return "(?:" + "|".join(parts) + ")" if parts else "(?!)"


class _Tables(NamedTuple):
    translate: dict[int, str | None]
    ascii_removed: re.Pattern[str]  #: an ASCII character that folding removes
    resizing: re.Pattern[str]  #: a run of removed characters, or one that folds to several


@functools.cache
def _tables() -> _Tables:
    table = _data().table
    removed = [code for code, value in table.items() if not value]
    expanded = [code for code, value in table.items() if len(value) > 1]
    return _Tables(
        {code: value or None for code, value in table.items()},
        re.compile(_class(code for code in removed if code < 0x80)),
        re.compile(f"{_class(removed)}+|{_class(expanded)}"),
    )


def warm() -> None:
    """Load the tables now, so that the first scan does not pay for it."""
    _tables()


@functools.cache
def invisible_ranges() -> str:
    """The characters that folding removes as invisible, not as marks: what a
    guard that keeps accents (the semantic guard) removes."""
    data = _data()
    ignorable = set(_code_points(data.ignorable))
    removed = (code for code, value in data.table.items() if not value)
    return ranges_of(code for code in removed if _removed(chr(code), ignorable))


class _Lengths(dict[int, str]):
    """Code point to the length of its folding, as a character: a translate
    table for every character, filled as characters are met (str.translate
    asks once per distinct character of a call)."""

    def __missing__(self, code: int) -> str:
        table = _tables().translate
        value = chr(len(table[code] or "")) if code in table else chr(1)
        self[code] = value
        return value


@functools.cache
def _lengths() -> _Lengths:
    return _Lengths()


class Folded(_windows.Chunked):
    """A folded text, held in pieces, with the way back to the original."""

    def __init__(self, original: str, pieces: Sequence[tuple[int, str]]) -> None:
        # pieces: (offset in the original, folded text); a piece folded to
        # nothing has no characters to map back.
        kept = [piece for piece in pieces if piece[1]]
        super().__init__([folded for _, folded in kept])
        self.original = original
        self._origins = [offset for offset, _ in kept]
        self._ends: dict[int, list[int] | None] = {}
        self._tails: dict[int, str] = {}
        self._last: tuple[int, int, list[int] | None, int, str] = (0, 0, None, -1, "")

    def _piece_ends(self, index: int) -> list[int] | None:
        """For piece ``index``, where the folded text of each original
        character ends (None when every character folds to one)."""
        if index in self._ends:
            return self._ends[index]
        start = self._origins[index]
        end = self._origins[index + 1] if index + 1 < len(self._origins) else len(self.original)
        piece = self.original[start:end]
        ends: list[int] | None = None
        if _tables().resizing.search(piece) is not None:
            # Each character as the length of its folding, one code point;
            # their running sum: two calls in C, whatever the piece holds.
            lengths = piece.translate(_lengths())
            ends = list(itertools.accumulate(lengths.encode("latin-1")))
            # Where each folding starts, as NUL, and the rest of it as U+0001:
            # a string as long as the folded piece, in four passes in C
            # (no folding is longer than MAX_EXPANSION, three).
            self._tails[index] = (lengths.replace("\x00", "").replace("\x01", "\x00")
                                  .replace("\x02", "\x00\x01").replace("\x03", "\x00\x01\x01"))
        self._ends[index] = ends
        return ends

    def piece_at(self, position: int) -> tuple[int, int, list[int] | None, int, str]:
        """The piece folded character ``position`` lies in: where it starts
        in the folded text and in the original, its ends (see
        :meth:`_piece_ends`), where the next piece starts and, when its
        characters resize, where each folding starts (NUL there, U+0001 elsewhere).
        Findings come in text order, mostly several to a piece, so the last
        is kept."""
        last = self._last
        if last[0] <= position < last[3]:
            return last
        index = bisect.bisect_right(self.starts, position) - 1
        limit = self.starts[index + 1] if index + 1 < len(self.starts) else self.length
        ends = self._ends[index] if index in self._ends else self._piece_ends(index)
        last = self._last = (self.starts[index], self._origins[index], ends, limit, self._tails.get(index, ""))
        return last

    def origin(self, position: int) -> int:
        """The offset in the original of the character folded character ``position`` came from."""
        base, origin, ends, _, _ = self.piece_at(position)
        if ends is None:
            return origin + position - base
        return origin + bisect.bisect_right(ends, position - base)

    def widen(self, start: int, end: int) -> tuple[int, int]:
        """The folded span ``start`` to ``end`` (not empty) grown to the whole
        folding of each original character it covers part of."""
        base, _, ends, limit, tails = self.piece_at(start)
        if end > limit:
            return self._folding(start)[0], self._folding(end - 1)[1]
        if ends is None or (tails[start - base] == "\x00" and (end == limit or tails[end - base] == "\x00")):
            return start, end  # whole foldings already, as they mostly are
        first = bisect.bisect_right(ends, start - base)
        return base + (ends[first - 1] if first else 0), base + ends[bisect.bisect_right(ends, end - 1 - base)]

    def _folding(self, position: int) -> tuple[int, int]:
        """Where the folding of the original character behind ``position`` starts and ends."""
        base, _, ends, _, _ = self.piece_at(position)
        if ends is None:
            return position, position + 1
        which = bisect.bisect_right(ends, position - base)
        return base + (ends[which - 1] if which else 0), base + ends[which]

    def span(self, start: int, end: int) -> tuple[int, int]:
        """The original characters that folded characters ``start`` to ``end`` came from."""
        if end <= start:
            at = len(self.original) if start >= self.length else self.origin(start)
            return at, at
        base, origin, ends, limit, _ = self.piece_at(start)
        if end > limit:
            return self.origin(start), self.origin(end - 1) + 1
        if ends is None:
            return origin + start - base, origin + end - base
        return (origin + bisect.bisect_right(ends, start - base),
                origin + bisect.bisect_right(ends, end - 1 - base) + 1)


class _Identity(_windows.Plain):
    """An ASCII text that folds to itself."""

    @property
    def original(self) -> str:
        return self.text

    def span(self, start: int, end: int) -> tuple[int, int]:
        return start, end

    def widen(self, start: int, end: int) -> tuple[int, int]:
        return start, end


def fold(text: str) -> Folded | _Identity:
    """``text`` folded, in pieces of a few thousand characters."""
    tables = _tables()
    if text.isascii() and tables.ascii_removed.search(text) is None:
        return _Identity(text)
    size = _windows.PIECE * SCALE
    pieces = []
    for start in range(0, len(text), size):
        piece = text[start:start + size]
        # Where lengths change is worked out only when a span is mapped back:
        # most folded texts are searched and dropped.
        pieces.append((start, piece.translate(tables.translate)))
    return Folded(text, pieces)


def folded_text(text: str) -> str:
    """``text`` folded, as one string."""
    source = fold(text)
    return source.read(0, len(source))


_TAG = re.compile("[\U000e0000-\U000e007f]")
_TAGS = re.compile("[\U000e0000-\U000e007f]+")
# The flags of England, Scotland and Wales, the only tag sequences in common
# use: a black flag, the region's code in tag letters, a cancel tag. Their tags
# spell nothing an attacker could choose, and a region code judged alone as
# hidden text can look like a terse instruction ("gbsct").
_FLAG_TAGS = re.compile(
    "(?<=\U0001f3f4)(?:"
    + "|".join("".join(chr(0xE0000 + ord(c)) for c in code) for code in ("gbeng", "gbsct", "gbwls"))
    + ")\U000e007f"
)
#: Tag characters that spell printable ASCII: U+E0020 is the tag space, U+E0041 TAG LATIN CAPITAL LETTER A.
HIDDEN_ASCII = (0xE0020, 0xE007E)
_TAG_TO_ASCII = {code: code - 0xE0000 if HIDDEN_ASCII[0] <= code <= HIDDEN_ASCII[1] else None
                 for code in range(0xE0000, 0xE0080)}


def tag_text(text: str) -> str:
    """The ASCII that the tag characters of ``text`` spell. Tag characters
    render as nothing, so they can carry a whole instruction after a harmless
    visible text; folding removes them, and the guards judge this instead."""
    if text.isascii() or _TAG.search(text) is None:
        return ""
    return "".join(_TAGS.findall(_FLAG_TAGS.sub("", text))).translate(_TAG_TO_ASCII)
