"""Searching a long text one bounded window at a time.

``re`` holds the interpreter lock for the whole of a call, so one search over a
megabyte freezes every thread of the host (and keeps the coordinator from
noticing that its time limit has passed) for as long as it runs. The guards
therefore search in windows of a few thousand characters, and let the
interpreter switch threads between them.

A window gives the same answer as the whole text as long as every attempt it
accepts could not have looked past the window's edges. Each pattern has bounded
quantifiers, so the characters an attempt at position ``q`` can inspect lie in
``[q - behind, q + ahead)``, with ``ahead`` and ``behind`` derived from the
pattern's parse tree (:func:`reach`). A window for the starts ``[pos, stop)``
spans ``[pos - behind, stop + ahead)``; a match that starts in it is taken, and
a match found further on is ignored and searched for again by the next window.
The left context is real text (the search starts at an offset into the window,
not at its beginning), so look-behinds, ``\\b`` and ``^`` see what they would
see in the whole text.
"""

from __future__ import annotations

import bisect
import importlib
import re
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, NamedTuple

# re's own parser and its opcodes: private, but the only account of what a
# pattern can do. Parse trees are untyped tuples and lists.
_sre: Any = importlib.import_module("re._constants")
_sre_parser: Any = importlib.import_module("re._parser")

__all__ = ["PIECE", "Chunked", "Hit", "Plain", "Reach", "Source", "Windowed", "reach"]

#: Starts per window. A window is searched in one call into ``re``; for the
#: injection patterns, the costliest per character (up to 0.7 microseconds),
#: this keeps a call near a millisecond and a half. Patterns that cost less per
#: character use a multiple of it (``Windowed``'s ``scale``). Tests shrink it to
#: put window borders inside the texts they generate.
PIECE = 2048

# Reach of a pattern without a bound: its window is the whole text.
_UNBOUNDED = 1 << 62


class Reach(NamedTuple):
    """How far around an attempt's start position the pattern may look."""

    ahead: int  #: characters from the start position on (the start included)
    behind: int  #: characters before it


# An attempt reads the character after its last consumed one (a look-ahead,
# "\b", the end of a repeat), and "$" also the one after that.
_AT_AHEAD = {
    _sre.AT_BOUNDARY: 1, _sre.AT_NON_BOUNDARY: 1, _sre.AT_UNI_BOUNDARY: 1, _sre.AT_UNI_NON_BOUNDARY: 1,
    _sre.AT_LOC_BOUNDARY: 1, _sre.AT_LOC_NON_BOUNDARY: 1,
    _sre.AT_END: 2, _sre.AT_END_LINE: 2, _sre.AT_END_STRING: 1,
}
_AT_BEHIND = {
    _sre.AT_BOUNDARY: 1, _sre.AT_NON_BOUNDARY: 1, _sre.AT_UNI_BOUNDARY: 1, _sre.AT_UNI_NON_BOUNDARY: 1,
    _sre.AT_LOC_BOUNDARY: 1, _sre.AT_LOC_NON_BOUNDARY: 1,
    _sre.AT_BEGINNING: 1, _sre.AT_BEGINNING_LINE: 1, _sre.AT_BEGINNING_STRING: 1,
}
_ONE_CHAR = (_sre.LITERAL, _sre.NOT_LITERAL, _sre.IN, _sre.ANY, _sre.RANGE, _sre.CATEGORY)
_REPEATS = (_sre.MAX_REPEAT, _sre.MIN_REPEAT, _sre.POSSESSIVE_REPEAT)


# What a piece of a pattern may do, from where it starts: the fewest and the
# most characters it consumes, the furthest character it inspects (counted
# from its start, that one included) and how many it inspects before its start.
_Extent = tuple[int, int, int, int]
_EMPTY: _Extent = (0, 0, 0, 0)


def _sequence(extents: Sequence[_Extent]) -> _Extent:
    least = most = ahead = behind = 0
    for item_least, item_most, item_ahead, item_behind in extents:
        ahead = max(ahead, most + item_ahead)
        behind = max(behind, item_behind - least)
        least += item_least
        most += item_most
    return least, most, ahead, behind


def _extent(items: Any) -> _Extent | None:
    parts: list[_Extent] = []
    for op, arg in items:
        part: _Extent | None
        if op in _ONE_CHAR:
            part = (1, 1, 1, 0)
        elif op is _sre.AT:
            part = (0, 0, _AT_AHEAD.get(arg, 0), _AT_BEHIND.get(arg, 0))
        elif op is _sre.SUBPATTERN:
            part = _extent(arg[3])
        elif op is _sre.ATOMIC_GROUP:
            part = _extent(arg)
        elif op is _sre.BRANCH:
            branches = [_extent(branch) for branch in arg[1]]
            part = _union(branches)
        elif op is _sre.GROUPREF_EXISTS:
            _, yes, no = arg
            part = _union([_extent(yes), _extent(no) if no is not None else _EMPTY])
        elif op in _REPEATS:
            low, high, body = arg
            inner = _extent(body)
            if inner is None or high == _sre.MAXREPEAT:
                return None
            least, most, ahead, behind = inner
            part = _EMPTY if high == 0 else (low * least, high * most, (high - 1) * most + ahead, behind)
        elif op in (_sre.ASSERT, _sre.ASSERT_NOT):
            direction, body = arg
            inner = _extent(body)
            if inner is None:
                return None
            least, most, ahead, behind = inner
            # A look-behind matches its (fixed-width) body forwards from that
            # many characters back.
            part = (0, 0, ahead, behind) if direction > 0 else (0, 0, max(0, ahead - least), most + behind)
        else:
            # Back-references and anything else without a bound.
            return None
        if part is None:
            return None
        parts.append(part)
    return _sequence(parts)


def _union(extents: Sequence[_Extent | None]) -> _Extent | None:
    if any(item is None for item in extents):
        return None
    found = [item for item in extents if item is not None]
    return (min(e[0] for e in found), max(e[1] for e in found), max(e[2] for e in found), max(e[3] for e in found))


def reach(regex: re.Pattern[str]) -> Reach | None:
    """How far an attempt of ``regex`` may look around its start, or None when
    the pattern has no bound (an unbounded repeat, a back-reference).

    ``ahead`` is at least the longest match plus the character after it.
    """
    extent = _extent(_sre_parser.parse(regex.pattern, regex.flags))
    if extent is None:
        return None
    _, most, ahead, behind = extent
    # One more on each side, beyond what the parse tree shows: a margin in case
    # the engine peeks one character further than the tree says.
    return Reach(max(ahead, most) + 1, behind + 1)


def reach_of(regexes: Iterable[re.Pattern[str]]) -> Reach:
    """The reach of an alternation of ``regexes``: the furthest any looks
    (without a bound when one has none). Parsing each costs far less than
    parsing one regex that repeats them, as a dispatch by first letter does."""
    found = Reach(0, 0)
    for regex in regexes:
        one = reach(regex)
        if one is None:
            return Reach(_UNBOUNDED, _UNBOUNDED)
        found = Reach(max(found.ahead, one.ahead), max(found.behind, one.behind))
    return found


class Source:
    """A text read in slices. ``read(a, b)`` returns ``text[a:b]``."""

    def __len__(self) -> int:
        raise NotImplementedError

    def read(self, start: int, end: int) -> str:
        raise NotImplementedError


class Plain(Source):
    def __init__(self, text: str) -> None:
        self.text = text

    def __len__(self) -> int:
        return len(self.text)

    def read(self, start: int, end: int) -> str:
        if start == 0 and end >= len(self.text):
            return self.text
        return self.text[start:end]


class Chunked(Source):
    """A text held as consecutive pieces, never joined into one string."""

    def __init__(self, chunks: Sequence[str]) -> None:
        self.chunks = [chunk for chunk in chunks if chunk]
        self.starts: list[int] = []
        total = 0
        for chunk in self.chunks:
            self.starts.append(total)
            total += len(chunk)
        self.length = total

    def __len__(self) -> int:
        return self.length

    def read(self, start: int, end: int) -> str:
        end = min(end, self.length)
        if start >= end:
            return ""
        index = bisect.bisect_right(self.starts, start) - 1
        first = self.chunks[index]
        offset = self.starts[index]
        if end - offset <= len(first):
            if start == offset and end - offset == len(first):
                return first
            return first[start - offset:end - offset]
        parts = [first[start - offset:]]
        index += 1
        while index < len(self.chunks) and self.starts[index] < end:
            parts.append(self.chunks[index][:end - self.starts[index]])
            index += 1
        return "".join(parts)


class Hit:
    """A match found in a window starting at ``offset`` of the text."""

    __slots__ = ("match", "offset")

    def __init__(self, match: re.Match[str], offset: int) -> None:
        self.match = match
        self.offset = offset

    def span(self, group: int | str = 0) -> tuple[int, int]:
        start, end = self.match.span(group)
        return start + self.offset, end + self.offset

    def start(self) -> int:
        return self.match.start() + self.offset

    def end(self) -> int:
        return self.match.end() + self.offset


class Window:
    """The window last read from a text, kept for the next search of the same
    text: a finder's searches move forward a few characters at a time, and
    reading a window for each would cost more than searching it."""

    __slots__ = ("end", "start", "text")

    def __init__(self) -> None:
        self.start = 0
        self.end = -1  # nothing read yet
        self.text = ""


class Windowed:
    """``regex`` searched one window at a time, with the answers of a whole-text search.

    A pattern without a bound on its reach (see :func:`reach`) is searched over
    the whole text in one call, as before. ``extra`` widens the window ahead
    for callers that inspect a few characters past a match themselves.
    ``required``, when given, is a string every match contains: windows without
    it are skipped without a search. ``scale`` multiplies :data:`PIECE` for
    patterns whose search is cheap per character but that may look far ahead.

    Searches given the same :class:`Window` share what was read, as long as the
    window covers what an attempt may inspect.

    The reach is worked out from the pattern at the first search, which keeps
    importing the guards cheap, unless ``reach`` gives it (:func:`reach_of`).
    """

    def __init__(self, regex: re.Pattern[str], *, extra: int = 0, required: str | None = None,
                 scale: int = 1, reach: Reach | None = None) -> None:
        self.regex = regex
        self.extra = extra
        self.required = required
        self.scale = scale
        self._reach: Reach | None = None if reach is None else Reach(reach.ahead + extra, reach.behind)

    @property
    def ahead(self) -> int:
        return self._bounds().ahead

    @property
    def behind(self) -> int:
        return self._bounds().behind

    def _bounds(self) -> Reach:
        found = self._reach
        if found is None:
            # Threads that get here together work out the same value.
            found = reach(self.regex) or Reach(_UNBOUNDED, _UNBOUNDED)
            found = self._reach = Reach(found.ahead + self.extra, found.behind)
        return found

    def _stop(self, window: Window, size: int, pos: int) -> int:
        """The end of the starts from ``pos`` on whose attempts ``window`` covers
        (``size + 1``: all of them); ``pos`` or less when it covers none."""
        ahead, behind = self._bounds()
        if window.end < 0 or (window.start > 0 and pos - behind < window.start):
            return pos
        if window.end == size:
            return size + 1
        return window.end - ahead

    def _read(self, text: Source, size: int, pos: int, window: Window) -> int:
        """Read the window for the starts from ``pos``; returns the end of those starts."""
        ahead, behind = self._bounds()
        stop = pos + PIECE * self.scale
        window.start = max(0, pos - behind)
        window.end = size if stop + ahead >= size else stop + ahead
        window.text = text.read(window.start, window.end)
        return size + 1 if window.end == size else stop

    def search(self, text: Source, pos: int = 0, window: Window | None = None) -> Hit | None:
        """The first match starting at ``pos`` or later, as ``regex.search`` finds it in the whole text."""
        size = len(text)
        if window is None:
            window = Window()
        while True:
            # The window read last serves while it covers the attempt at pos
            # (_stop, inlined: this runs once for each finding).
            ahead, behind = self._reach or self._bounds()
            if window.end < 0 or (window.start > 0 and pos - behind < window.start):
                stop = pos
            else:
                stop = size + 1 if window.end == size else window.end - ahead
            if stop <= pos:
                stop = self._read(text, size, pos, window)
                if self.required is not None and self.required not in window.text:
                    if stop > size:
                        return None
                    pos = stop
                    continue
            match = self.regex.search(window.text, pos - window.start)
            if match is not None and match.start() + window.start < stop:
                return Hit(match, window.start)
            if stop > size:
                return None
            pos = stop

    def match(self, text: Source, pos: int, window: Window | None = None) -> Hit | None:
        """A match starting exactly at ``pos``, as ``regex.match`` finds it in the whole text."""
        size = len(text)
        if window is None:
            window = Window()
        if self._stop(window, size, pos) <= pos:
            self._read(text, size, pos, window)
        match = self.regex.match(window.text, pos - window.start)
        return None if match is None else Hit(match, window.start)

    def finditer(self, text: Source) -> Iterator[Hit]:
        """The matches ``regex.finditer`` finds in the whole text, for a pattern that never matches empty."""
        window = Window()
        pos = 0
        while True:
            hit = self.search(text, pos, window)
            if hit is None:
                return
            yield hit
            pos = hit.end() if hit.end() > hit.start() else hit.end() + 1
