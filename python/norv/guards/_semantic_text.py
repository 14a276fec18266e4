"""Characters the semantic guard's model must never be given, and their removal.

The model's tokenizer runs inside the onnxruntime graph and reads each text as
a C string: a NUL ends the text there, so "Hi.\\x00 <attack>" was scored as
"Hi.", and a lone surrogate cannot be encoded as UTF-8 at all, so the call
raised and the coordinator let the prompt through as a module error. Other
characters are dropped or read as unknown by the tokenizer while a reader (or
the model behind the guard) does not see them, so inside a word they hide the
word from the guard: controls, format characters (bidi controls, zero-width
characters, invisible operators), variation selectors and fillers.

Tag characters (U+E0020 to U+E007E) mirror printable ASCII and render as
nothing, so they can carry a whole hidden instruction after a harmless
visible text. :func:`split` takes them out and returns what they spell, which
the guard scores on its own (the three flags made of tag characters aside).

This runs on every prompt while holding the interpreter lock: ASCII text
takes one str.translate, other text one search, and the rarer steps run only
when that search finds something for them.
"""

from __future__ import annotations

import re

from norv.guards._normalise import _char_class

__all__ = ["HIDDEN_ASCII", "REMOVED_RANGES", "plain", "split"]

# Removed before normalising. Hexadecimal code points and ranges, as of
# Unicode 14.0 (Python 3.11's unicodedata): controls other than whitespace
# (which becomes a space later) and every format character, as
# tests/test_semantic_evasion.py checks against unicodedata; and the default
# ignorable characters that are neither: the combining grapheme joiner,
# Hangul fillers, Khmer inherent vowels, Mongolian free variation selectors,
# variation selectors, and the unassigned rest of the U+2060, U+FFF0 and
# U+E0000 blocks. NFKC turns no other character into one of these (tested).
REMOVED_RANGES = (
    "0000-0008 000E-001B 007F-0084 0086-009F 00AD 034F 0600-0605 061C 06DD 070F 0890-0891 08E2 "
    "115F-1160 17B4-17B5 180B-180F 200B-200F 202A-202E 2060-206F 3164 FE00-FE0F FEFF FFA0 FFF0-FFFB "
    "110BD 110CD 13430-13438 1BCA0-1BCA3 1D173-1D17A E0000-E0FFF"
)

#: Tag characters that spell printable ASCII: U+E0020 is the tag space, U+E0041 TAG LATIN CAPITAL LETTER A.
HIDDEN_ASCII = (0xE0020, 0xE007E)


def _class(low: int, high: int) -> str:
    return _char_class(REMOVED_RANGES, low, high)


# Searching for one character of a class runs a fast scan; a repeated class
# (``[...]+``) is tried at every position, three times slower. So a text is
# searched first for anything that needs work (which most texts lack), and a
# class that reaches beyond U+FFFF, which re tests range by range rather than
# by table, is used only on the rare text that needs the work. ASCII text is
# cleaned by str.translate, which has a fast path for ASCII.
_NEEDS_WORK = re.compile(f"[{_class(0, 0xFFFF)}\ud800-\udfff\U00010000-\U0010ffff]")
_REMOVED = re.compile(f"[{_class(0, 0x10FFFF)}]+")
_REMOVED_ASCII = {code: None for code in range(0x80) if _REMOVED.fullmatch(chr(code))}
_SURROGATE = re.compile("[\ud800-\udfff]")
_TAG = re.compile("[\U000e0000-\U000e007f]")
_TAGS = re.compile("[\U000e0000-\U000e007f]+")
# The flags of England, Scotland and Wales, the only tag sequences in common
# use: a black flag, the region's code in tag letters, a cancel tag. Their tags
# spell nothing an attacker could choose, and a region code scored alone as
# hidden text can look like a terse attack to the model ("gbsct" scored 0.93).
_FLAG_TAGS = re.compile(
    "(?<=\U0001f3f4)(?:"
    + "|".join("".join(chr(0xE0000 + ord(c)) for c in code) for code in ("gbeng", "gbsct", "gbwls"))
    + ")\U000e007f"
)
_TAG_TO_ASCII = {code: code - 0xE0000 if HIDDEN_ASCII[0] <= code <= HIDDEN_ASCII[1] else None
                 for code in range(0xE0000, 0xE0080)}


def split(text: str) -> tuple[str, str]:
    """``text`` without the characters above, and the ASCII its tag characters spell.

    Surrogate pairs become the character they encode (so that tag characters
    written as pairs are read too); lone surrogates, which are not characters,
    are dropped, like the other removed characters, so that none can split a
    word. Whitespace controls are kept: they separate words, and the guard
    turns every whitespace run into one space.
    """
    if text.isascii():
        return text.translate(_REMOVED_ASCII), ""
    if not _NEEDS_WORK.search(text):
        return text, ""
    if _SURROGATE.search(text):
        text = text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "ignore")
    hidden = ""
    if _TAG.search(text):
        text = _FLAG_TAGS.sub("", text)
        hidden = "".join(_TAGS.findall(text)).translate(_TAG_TO_ASCII)
    return _REMOVED.sub("", text), hidden


_NOT_PLAIN = re.compile(r"[^\w\s.,;:!?'\"()\-]+")


def plain(text: str) -> str:
    """``text`` reduced to word characters, spaces and common punctuation:
    what the guard scores when the model would not take a text as it was."""
    return " ".join(_NOT_PLAIN.sub(" ", text).split())
