"""NFKC in pieces: each piece normalised on its own gives the text's normalisation.

``unicodedata.normalize`` holds the interpreter lock for the whole text, and it
puts combining marks in canonical order with an insertion sort, so a run of
marks in reverse order takes time quadratic in its length (80,000 alternating
marks: 4.5 s). Both are kept in bounds here:

* A text is cut only before a *free* character: one whose decomposition begins
  with a character of combining class 0 that never composes with a character
  before it. Decomposition is per character, canonical reordering stops at a
  class-0 character, and composition cannot join such a character to what
  precedes it, so the normalised pieces, joined, are the normalised text.
* A run of more than 30 characters that attach to the one before them is split
  after every 30 by U+034F COMBINING GRAPHEME JOINER, as the Unicode
  stream-safe text format does (UAX #15, section 13). No written language
  needs longer runs; the joiner stops reordering and composition across it,
  and the guards remove it again with the other invisible characters.

:func:`stream_safe` is the whole-text form of the second rule, and
:func:`pieces` cuts a text by both: normalising its pieces one by one equals
normalising ``stream_safe(text)`` in one call.
"""

from __future__ import annotations

import functools
import re
import unicodedata
from collections.abc import Iterator

from norv.guards import _windows

__all__ = ["ATTACHING", "JOINER", "MAX_RUN", "SCALE", "nfkc", "pieces", "stream_safe"]

# Characters that attach to the one before them: their compatibility
# decomposition begins with a combining mark (combining class other than 0) or
# with a character that composes with a preceding one (Hangul medial vowels and
# final consonants, and a few vowel and length signs of Indic scripts). Which
# characters those are depends on the Unicode version of the interpreter's
# unicodedata, which does the normalising: 14.0 in Python 3.11, 15.1 in 3.13.
# Hexadecimal code points and ranges; tests/test_guard_windows.py derives the
# set from unicodedata and compares.
_ATTACHING_UNICODE_14 = (
    "0300-034E 0350-036F 0483-0487 0591-05BD 05BF 05C1-05C2 05C4-05C5 05C7 0610-061A 064B-065F 0670 06D6-06DC "
    "06DF-06E4 06E7-06E8 06EA-06ED 0711 0730-074A 07EB-07F3 07FD 0816-0819 081B-0823 0825-0827 0829-082D "
    "0859-085B 0898-089F 08CA-08E1 08E3-08FF 093C 094D 0951-0954 09BC 09BE 09CD 09D7 09FE 0A3C 0A4D 0ABC 0ACD "
    "0B3C 0B3E 0B4D 0B56-0B57 0BBE 0BCD 0BD7 0C3C 0C4D 0C55-0C56 0CBC 0CC2 0CCD 0CD5-0CD6 0D3B-0D3C 0D3E 0D4D "
    "0D57 0DCA 0DCF 0DDF 0E38-0E3A 0E48-0E4B 0EB8-0EBA 0EC8-0ECB 0F18-0F19 0F35 0F37 0F39 0F71-0F75 0F7A-0F7D "
    "0F80-0F84 0F86-0F87 0FB5 0FB7 0FC6 102E 1037 1039-103A 108D 1161-1175 11A8-11C2 135D-135F 1714-1715 1734 "
    "17D2 17DD 18A9 1939-193B 1A17-1A18 1A60 1A75-1A7C 1A7F 1AB0-1ABD 1ABF-1ACE 1B34-1B35 1B44 1B6B-1B73 "
    "1BAA-1BAB 1BE6 1BF2-1BF3 1C37 1CD0-1CD2 1CD4-1CE0 1CE2-1CE8 1CED 1CF4 1CF8-1CF9 1DC0-1DFF 20D0-20DC 20E1 "
    "20E5-20F0 2CEF-2CF1 2D7F 2DE0-2DFF 302A-302F 3099-309A 3133 3135-3136 313A-313F 314F-3163 A66F A674-A67D "
    "A69E-A69F A6F0-A6F1 A806 A82C A8C4 A8E0-A8F1 A92B-A92D A953 A9B3 A9C0 AAB0 AAB2-AAB4 AAB7-AAB8 AABE-AABF "
    "AAC1 AAF6 ABED FB1E FE20-FE2F FF9E-FF9F FFA3 FFA5-FFA6 FFAA-FFAF FFC2-FFC7 FFCA-FFCF FFD2-FFD7 FFDA-FFDC "
    "101FD 102E0 10376-1037A 10A0D 10A0F 10A38-10A3A 10A3F 10AE5-10AE6 10D24-10D27 10EAB-10EAC 10F46-10F50 "
    "10F82-10F85 11046 11070 1107F 110B9-110BA 11100-11102 11127 11133-11134 11173 111C0 111CA 11235-11236 "
    "112E9-112EA 1133B-1133C 1133E 1134D 11357 11366-1136C 11370-11374 11442 11446 1145E 114B0 114BA 114BD "
    "114C2-114C3 115AF 115BF-115C0 1163F 116B6-116B7 1172B 11839-1183A 11930 1193D-1193E 11943 119E0 11A34 "
    "11A47 11A99 11C3F 11D42 11D44-11D45 11D97 16AF0-16AF4 16B30-16B36 16FF0-16FF1 1BC9E 1D165-1D169 "
    "1D16D-1D172 1D17B-1D182 1D185-1D18B 1D1AA-1D1AD 1D242-1D244 1E000-1E006 1E008-1E018 1E01B-1E021 "
    "1E023-1E024 1E026-1E02A 1E130-1E136 1E2AE 1E2EC-1E2EF 1E8D0-1E8D6 1E944-1E94A"
)
# What later versions add: one table each would repeat the whole list.
_ATTACHING_ADDED = {"14.0.0": "", "15.1.0": "10EFD-10EFF 11F41-11F42 1E08F 1E4EC-1E4EF"}
_ATTACHING_RANGES = _ATTACHING_UNICODE_14 + " " + _ATTACHING_ADDED[unicodedata.unidata_version]


def _char_class(ranges: str, low: int, high: int) -> str:
    """The code points of ``ranges`` from ``low`` to ``high``, as the inside of a class."""
    parts: list[str] = []
    for item in ranges.split():
        first, _, last = item.partition("-")
        start, end = max(int(first, 16), low), min(int(last or first, 16), high)
        if start <= end:
            parts.append(re.escape(chr(start)) + ("-" + re.escape(chr(end)) if end > start else ""))
    return "".join(parts)


# re tests a class with characters beyond U+FFFF range by range, a hundred
# nanoseconds a character here; the class of the first plane alone becomes a
# table lookup. The second class is tried only on characters beyond U+FFFF.
#: A regular expression for one character that attaches to the one before it.
ATTACHING = (
    f"(?:[{_char_class(_ATTACHING_RANGES, 0, 0xFFFF)}]"
    f"|(?=[\U00010000-\U0010ffff])[{_char_class(_ATTACHING_RANGES, 0x10000, 0x10FFFF)}])"
)
#: What splits over-long runs; the guards remove it after normalising.
JOINER = "\u034f"
#: Attaching characters in a row before a joiner goes in.
MAX_RUN = 30


@functools.cache
def _patterns() -> tuple[re.Pattern[str], _windows.Windowed]:
    """The free-character and long-run patterns, compiled at first use: only
    texts beyond ASCII need them, and compiling takes milliseconds."""
    free = re.compile(f"(?!{ATTACHING})(?s:.)")
    # Each match ends where a joiner goes: after 30 attaching characters that
    # another one follows. Matches continue from the last, so the count
    # restarts after each joiner, and a free character ends every run. The
    # repeated group chooses between disjoint classes, so a character is
    # matched one way only and the search stays linear.
    long_run = re.compile(f"{ATTACHING}{{{MAX_RUN}}}(?={ATTACHING})")
    return free, _windows.Windowed(long_run, scale=16)


#: Characters per piece, in units of the search window: NFKC takes up to 60 ns
#: a character (Hangul vowels), a tenth of the injection patterns' search.
SCALE = 16


def stream_safe(text: str) -> str:
    """``text`` with a joiner after every 30 characters of a longer attaching run."""
    if text.isascii():
        return text
    cuts = [match.end() for match in _patterns()[1].regex.finditer(text)]
    if not cuts:
        return text
    parts = []
    start = 0
    for cut in cuts:
        parts.append(text[start:cut])
        start = cut
    parts.append(text[start:])
    return JOINER.join(parts)


def pieces(text: str) -> Iterator[str]:
    """``stream_safe(text)`` in consecutive pieces of a few thousand characters,
    each of which may be normalised on its own."""
    if text.isascii():
        # Nothing attaches; NFKC leaves ASCII as it is.
        yield text
        return
    size = len(text)
    piece = _windows.PIECE * SCALE
    free_character, long_runs = _patterns()
    cuts = (hit.end() for hit in long_runs.finditer(_windows.Plain(text)))
    next_cut = next(cuts, None)
    pos = 0
    while pos < size:
        target = pos + piece
        stop = size
        if target < size:
            free = free_character.search(text, target, target + MAX_RUN + 2)
            # With no free character there, the run reaching past target is
            # cut within MAX_RUN characters of it; the piece ends at that cut.
            stop = free.start() if free is not None else -1
        parts = []
        start = pos
        while next_cut is not None and next_cut < (stop if stop >= 0 else target):
            if next_cut > start:
                parts.append(text[start:next_cut])
                start = next_cut
            next_cut = next(cuts, None)
        if stop < 0:
            if next_cut is None:  # cannot happen while a run goes on; the rest is then one piece
                stop = size
            else:
                stop = next_cut
                next_cut = next(cuts, None)
        parts.append(text[start:stop])
        yield parts[0] if len(parts) == 1 else JOINER.join(parts)
        pos = stop


def nfkc(text: str) -> str:
    """``text`` in NFKC, normalised piece by piece, without the joiners that
    split over-long runs (and without any the text had)."""
    if text.isascii():
        return text
    return "".join(unicodedata.normalize("NFKC", piece) for piece in pieces(text)).replace(JOINER, "")
