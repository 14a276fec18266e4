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

from norv.guards import _fold
from norv.guards._fold import HIDDEN_ASCII
from norv.guards._normalise import _char_class

__all__ = ["HIDDEN_ASCII", "plain", "split"]


def _class(low: int, high: int) -> str:
    return _char_class(_fold.invisible_ranges(), low, high)


# The characters removed are those the guards' shared folding removes as
# invisible (``_fold``): Unicode's default-ignorable characters, every other
# format character, and controls other than whitespace. Marks and letters are
# kept: the model reads accents. NFKC turns no other character into one of
# these (tested).
#
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
    return _REMOVED.sub("", text), _fold.tag_text(text)


_NOT_PLAIN = re.compile(r"[^\w\s.,;:!?'\"()\-]+")


def plain(text: str) -> str:
    """``text`` reduced to word characters, spaces and common punctuation:
    what the guard scores when the model would not take a text as it was."""
    return " ".join(_NOT_PLAIN.sub(" ", text).split())
