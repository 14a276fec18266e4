"""An output shield that redacts personal data and secrets from model responses.

This is a reference shield: it covers formats that can be recognised by their
shape alone, and a deployment is expected to replace it or add its own kinds
(names, addresses, customer numbers and free-form secrets need context this
shield does not have). Each finding becomes ``[REDACTED:<KIND>]``.

Kinds, in the order in which they win when two findings overlap:

===================  =======================================================
PRIVATE_KEY          PEM/OpenSSH/PGP private key blocks; a block whose END
                     line is missing is redacted to the end of the text
JWT                  JSON web tokens (three base64url segments, "eyJ...")
AWS_ACCESS_KEY_ID    AKIA.../ASIA... access key ids
GOOGLE_API_KEY       AIza... keys
GITHUB_TOKEN         ghp_/gho_/ghu_/ghs_/ghr_ and github_pat_ tokens
GITLAB_TOKEN         glpat- personal access tokens
SECRET               the value of ``api_key=...``, ``"password": "..."``,
                     ``Authorization: Bearer ...`` and similar assignments
EMAIL                e-mail addresses
IBAN                 international bank account numbers, mod-97 checked
CARD                 payment card numbers of 13-19 digits, Luhn checked
IPV4                 dotted-quad IPv4 addresses (not 1.2.3.4.5-style versions)
PHONE                international (+...) and common national phone formats
===================  =======================================================

Each kind is searched in the text as a second scan would see it, with the
findings of the kinds before it already bracketed like markers, so scanning a
redacted text again finds nothing new.

Like the pattern guard, every pattern is linear-time by construction: bounded
quantifiers, repetition only of single character classes, and look-behind
anchors so that a long run is tried from its start only (an e-mail's local
part also from 64 characters before its "@"). The checksums run on bounded
candidates, and each finder masks the text once, so the whole scan stays linear
in the length of the text.
"""

from __future__ import annotations

import re
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from norv.core.interfaces import SecurityModule

__all__ = ["RedactionShield", "Redaction", "KINDS", "luhn_ok", "iban_ok"]

Span = Tuple[int, int]
Finder = Callable[[str], Iterator[Span]]


class Redaction(NamedTuple):
    """One finding, as offsets into the scanned text."""

    kind: str
    start: int
    end: int


def luhn_ok(digits: str) -> bool:
    """The Luhn check that payment card numbers carry in their last digit."""
    total = 0
    for index, char in enumerate(reversed(digits)):
        value = ord(char) - 48
        if index % 2:
            value *= 2
            if value > 9:
                value -= 9
        total += value
    return total % 10 == 0


# A=10 ... Z=35, as the IBAN checksum reads letters.
_IBAN_DIGITS = str.maketrans({chr(code): str(code - 55) for code in range(ord("A"), ord("Z") + 1)})


def iban_ok(compact: str) -> bool:
    """The ISO 13616 check: length, shape and the mod-97 checksum."""
    if not 15 <= len(compact) <= 34 or not compact.isascii() or not compact.isalnum():
        return False
    if not (compact[:2].isalpha() and compact[2:4].isdigit()):
        return False
    rearranged = (compact[4:] + compact[:4]).upper().translate(_IBAN_DIGITS)
    return int(rearranged) % 97 == 1


def _group_ends(text: str, start: int, end: int, separators: str) -> List[int]:
    """Ends of each separator-delimited prefix of text[start:end], longest first.

    A candidate such as "4111 1111 1111 1111 12" may run on into a following
    number; the checksum then decides which whole-group prefix is the finding.
    """
    while end > start + 1 and text[end - 1] in separators:
        end -= 1
    ends = [index for index in range(start + 1, end) if text[index] in separators and text[index - 1] not in separators]
    ends.append(end)
    ends.reverse()
    return ends


class _Pattern(NamedTuple):
    """A candidate pattern that must not follow certain characters.

    ``after_finding`` is the same pattern without that test, for the position
    right after a finding: a second scan sees the marker's closing "]" there,
    which passes every such test, and the first scan must judge the position
    alike or it keeps what the second redacts (the second address of
    "a@b.co.a@b.co").
    """

    anywhere: re.Pattern[str]
    after_finding: re.Pattern[str]


def _not_after(chars: str, body: str) -> _Pattern:
    if re.fullmatch(f"[{chars}]", "]"):
        raise ValueError(f"a marker's closing bracket must pass the left-context test [{chars}]")
    return _Pattern(re.compile(f"(?<![{chars}])" + body), re.compile(body))


def _regex_finder(pattern: _Pattern, validate: Optional[Callable[[re.Match[str]], Optional[Span]]] = None,
                  group: int | str = 0, required: str = "") -> Finder:
    """Findings of ``pattern``; ``required`` is a literal every one contains,
    checked first because the test is far cheaper than a search."""
    regex, after_finding = pattern

    def find(text: str) -> Iterator[Span]:
        if required not in text:
            return
        pos = 0
        finding_ends_here = False
        while True:
            match = after_finding.match(text, pos) if finding_ends_here else None
            if match is None:
                match = regex.search(text, pos)
            if match is None:
                return
            span = match.span(group) if validate is None else validate(match)
            if span is None:
                # Retry from the next position: candidates are bounded in
                # length, so each position is searched a bounded number of times.
                pos = match.start() + 1
                finding_ends_here = False
                continue
            yield span
            # A validator may accept less than the candidate ("4111 1111 1111
            # 1111 4111 ..."): the rest may hold the next finding.
            pos = match.end() if validate is None else span[1]
            finding_ends_here = True

    return find


# --- private keys ------------------------------------------------------------

_KEY_BEGIN = re.compile(r"-----BEGIN [A-Z0-9 ]{0,24}PRIVATE KEY(?: BLOCK)?-----")
_KEY_END = re.compile(r"-----END [A-Z0-9 ]{0,24}PRIVATE KEY(?: BLOCK)?-----")


def _find_private_keys(text: str) -> Iterator[Span]:
    # Found by marker search rather than one regex: a key body is thousands of
    # characters, too long for a bounded quantifier to cover cheaply.
    pos = 0
    while True:
        begin = _KEY_BEGIN.search(text, pos)
        if begin is None:
            return
        end = _KEY_END.search(text, begin.end())
        if end is None:
            # A truncated key is still a leaked key.
            yield begin.start(), len(text)
            return
        yield begin.start(), end.end()
        pos = end.end()


# --- secrets with a recognisable shape --------------------------------------

_B64URL = r"A-Za-z0-9_\-"
_JWT = _not_after(
    _B64URL, rf"eyJ[{_B64URL}]{{5,4096}}+\.eyJ[{_B64URL}]{{5,4096}}+\.[{_B64URL}]{{0,4096}}+(?![{_B64URL}])"
)
_AWS_KEY_ID = _not_after("A-Za-z0-9", r"(?:AKIA|ASIA)[A-Z0-9]{16}(?![A-Za-z0-9])")
_GOOGLE_KEY = _not_after(_B64URL, rf"AIza[{_B64URL}]{{35}}(?![{_B64URL}])")
_GITHUB_TOKEN = _not_after(
    "A-Za-z0-9_", r"(?:gh[pousr]_[A-Za-z0-9]{36,251}|github_pat_[A-Za-z0-9_]{22,255})(?![A-Za-z0-9_])"
)
_GITLAB_TOKEN = _not_after(_B64URL, rf"glpat-[{_B64URL}]{{20,64}}(?![{_B64URL}])")

# key = value, "key": "value", key: value. Only the value is redacted, so the
# reader still sees which setting leaked.
_SECRET_NAME = (
    r"(?:api[_-]?key|api[_-]?secret|access[_-]?key(?:[_-]?id)?|access[_-]?token|auth[_-]?token|"
    r"client[_-]?secret|secret[_-]?(?:access[_-]?)?key|private[_-]?key|refresh[_-]?token|"
    r"password|passwd|pwd|passphrase|secret|token)"
)
_SECRET_VALUE = r"""(?P<value>[^\s"'`,;<>\[\]{}()]{6,256})"""
_ASSIGNMENT = _not_after(
    "A-Za-z0-9",
    r"(?i:(?:[A-Za-z0-9]{1,24}[_-])?" + _SECRET_NAME + r")" r"""["']?[ \t]{0,3}[:=][ \t]{0,3}["']?""" + _SECRET_VALUE,
)
_BEARER = _not_after(
    "A-Za-z0-9", r"(?i:bearer)[ \t]{1,3}(?P<value>[A-Za-z0-9._~+/-]{16,4096}={0,2})(?![A-Za-z0-9._~+/=-])"
)


def _secret_value(match: re.Match[str]) -> Optional[Span]:
    value = match.group("value")
    # "token = get_token" or "password: ********" are not secrets; real ones
    # carry digits or are long.
    if any(char.isdigit() for char in value) or len(value) >= 16:
        return match.span("value")
    return None


# --- personal data -----------------------------------------------------------

_LOCAL_PART = "A-Za-z0-9._%+-"
# A hyphen may follow ("a@b.co-10.0.0.1"): refusing it would keep an address
# that stands alone once its neighbour is redacted.
_DOMAIN = r"@[A-Za-z0-9][A-Za-z0-9.-]{0,252}\.[A-Za-z]{2,24}(?![A-Za-z0-9])"
_EMAIL = _Pattern(
    # The local part starts where its run does; of a run too long to be one,
    # the last 64 characters are taken. Skipping such a run instead would
    # keep the address its tail becomes once a redaction inside it breaks it.
    # (The look-ahead for the "@" skips 64 of any character in one step, where
    # the class would take a step for each character of every word.)
    re.compile(
        rf"(?:(?<![{_LOCAL_PART}])[{_LOCAL_PART}]{{1,64}}|(?<=[{_LOCAL_PART}])(?=.{{64}}@)[{_LOCAL_PART}]{{64}})" + _DOMAIN,
        re.DOTALL,
    ),
    re.compile(rf"[{_LOCAL_PART}]{{1,64}}{_DOMAIN}"),
)

_IBAN = _not_after("A-Za-z0-9", r"[A-Z]{2}[0-9]{2}[A-Z0-9 ]{11,42}")


def _iban(match: re.Match[str]) -> Optional[Span]:
    text = match.string
    for end in _group_ends(text, match.start(), match.end(), " "):
        if end < len(text) and text[end].isalnum():
            continue
        if iban_ok(text[match.start():end].replace(" ", "")):
            return match.start(), end
    return None


_CARD = _not_after(r"\w-", r"[2-6][0-9][0-9 -]{10,21}[0-9]")


def _card(match: re.Match[str]) -> Optional[Span]:
    text = match.string
    for end in _group_ends(text, match.start(), match.end(), " -"):
        if end < len(text) and (text[end].isalnum() or text[end] == "-"):
            continue
        candidate = text[match.start():end]
        if "  " in candidate or "--" in candidate or " -" in candidate or "- " in candidate:
            continue
        digits = candidate.replace(" ", "").replace("-", "")
        if 13 <= len(digits) <= 19 and luhn_ok(digits):
            return match.start(), end
    return None


_OCTET = r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
# Not inside a longer dotted number: "1.2.3.4.5" is a version, not an address.
_IPV4 = _not_after(r"\w.", rf"{_OCTET}\.{_OCTET}\.{_OCTET}\.{_OCTET}(?!\w|\.[0-9])")

_PHONE_SHAPE = (
    r"(?:"
    r"\+[0-9][0-9 ().-]{6,22}[0-9]"  # +44 20 7946 0958, +1 (555) 123-4567
    r"|\([0-9]{2,5}\)[ .-]?[0-9]{3,4}[ .-]?[0-9]{3,4}"  # (555) 123-4567
    r"|[0-9]{3}[.-][0-9]{3}[.-][0-9]{4}"  # 555-123-4567, 555.123.4567
    r"|[0-9]{3} [0-9]{3} [0-9]{4}"  # 555 123 4567
    r"|0[0-9]{2,4}[ -][0-9]{3,4}[ -]?[0-9]{3,4}"  # 020 7946 0958, 030-1234 5678
    r")"
)
_PHONE_END = r"(?![\w-]|\.[0-9])"
_PHONE = _not_after(r"\w+.-", _PHONE_SHAPE + _PHONE_END)
_PHONE_SHAPE_ONLY = re.compile(_PHONE_SHAPE)
_PHONE_ENDS_HERE = re.compile(_PHONE_END)


def _phone_ok(candidate: str) -> bool:
    digits = sum(char.isdigit() for char in candidate)
    minimum = 8 if candidate.startswith("+") else 10
    return minimum <= digits <= 15 and "  " not in candidate


def _phone(match: re.Match[str]) -> Optional[Span]:
    # The longest shape is not always the number: in "+020 7946 0958(020 7946"
    # it has too many digits, while its first three groups are a phone number.
    text, start = match.string, match.start()
    if _phone_ok(match.group()):
        return match.span()
    for end in range(match.end() - 1, start, -1):
        if (text[end - 1].isdigit() and _PHONE_SHAPE_ONLY.fullmatch(text, start, end)
                and _PHONE_ENDS_HERE.match(text, end) and _phone_ok(text[start:end])):
            return start, end
    return None


#: The kinds this shield knows, highest priority first, with their finders.
_RULES: Sequence[Tuple[str, Sequence[Finder]]] = (
    ("PRIVATE_KEY", (_find_private_keys,)),
    ("JWT", (_regex_finder(_JWT),)),
    ("AWS_ACCESS_KEY_ID", (_regex_finder(_AWS_KEY_ID),)),
    ("GOOGLE_API_KEY", (_regex_finder(_GOOGLE_KEY),)),
    ("GITHUB_TOKEN", (_regex_finder(_GITHUB_TOKEN),)),
    ("GITLAB_TOKEN", (_regex_finder(_GITLAB_TOKEN),)),
    ("SECRET", (_regex_finder(_ASSIGNMENT, _secret_value), _regex_finder(_BEARER, group="value"))),
    ("EMAIL", (_regex_finder(_EMAIL, required="@"),)),
    ("IBAN", (_regex_finder(_IBAN, _iban),)),
    ("CARD", (_regex_finder(_CARD, _card),)),
    ("IPV4", (_regex_finder(_IPV4),)),
    ("PHONE", (_regex_finder(_PHONE, _phone),)),
)

KINDS: Tuple[str, ...] = tuple(kind for kind, _ in _RULES)

#: Every compiled pattern of the shield, for inspection and tests.
PATTERNS: Tuple[re.Pattern[str], ...] = (
    _KEY_BEGIN, _KEY_END,
    *(pattern.anywhere for pattern in (
        _JWT, _AWS_KEY_ID, _GOOGLE_KEY, _GITHUB_TOKEN, _GITLAB_TOKEN, _ASSIGNMENT, _BEARER, _EMAIL, _IBAN, _CARD,
        _IPV4, _PHONE,
    )),
)


def _merge(accepted: List[Redaction], found: Iterable[Redaction]) -> Tuple[List[Redaction], List[Redaction]]:
    """Add ``found`` (sorted) to ``accepted`` (sorted, disjoint); earlier findings win overlaps.

    Returns the merged findings and those of ``found`` that were kept.
    """
    merged: List[Redaction] = []
    kept: List[Redaction] = []
    index = 0
    for item in found:
        while index < len(accepted) and accepted[index].end <= item.start:
            merged.append(accepted[index])
            index += 1
        if index < len(accepted) and accepted[index].start < item.end:
            continue
        if merged and merged[-1].end > item.start:
            continue
        merged.append(item)
        kept.append(item)
    merged.extend(accepted[index:])
    return merged, kept


def _replaced(text: str, findings: Sequence[Redaction], replacement: Callable[[Redaction], str]) -> str:
    """``text`` with each finding (sorted, disjoint) replaced by ``replacement(finding)``."""
    pieces = []
    pos = 0
    for finding in findings:
        pieces.append(text[pos:finding.start])
        pieces.append(replacement(finding))
        pos = finding.end
    pieces.append(text[pos:])
    return "".join(pieces)


def _marker(finding: Redaction) -> str:
    return f"[REDACTED:{finding.kind}]"


def _stand_in(finding: Redaction) -> str:
    """A stand-in for the marker, of the finding's own length.

    It is bracketed like a marker, and no pattern crosses or starts on a
    bracket, so finders see the same context around it as around
    ``[REDACTED:<KIND>]`` while offsets stay those of the scanned text.
    """
    length = finding.end - finding.start
    return "[" + _MASK_FILL * (length - 2) + "]" if length >= 2 else "]" * length


# Inside the brackets: a character that no pattern starts with or repeats.
_MASK_FILL = "\x00"


class RedactionShield(SecurityModule):
    """Replaces personal data and well-known secrets with ``[REDACTED:<KIND>]``.

    ``kinds`` limits the shield to some of :data:`KINDS` (all by default).
    ``scan`` returns the response object itself when nothing is found. The
    shield holds no mutable state, so one instance may scan on many threads at
    once.
    """

    def __init__(self, kinds: Optional[Iterable[str]] = None) -> None:
        if kinds is None:
            selected = set(KINDS)
        else:
            selected = set(kinds)
            unknown = selected - set(KINDS)
            if unknown:
                raise ValueError(f"unknown redaction kinds: {', '.join(sorted(unknown))}")
        self.kinds: Tuple[str, ...] = tuple(kind for kind in KINDS if kind in selected)
        self._rules = tuple((kind, finders) for kind, finders in _RULES if kind in selected)

    def find(self, content: str) -> List[Redaction]:
        """Every finding in ``content``, in text order, without overlaps."""
        accepted: List[Redaction] = []
        # Later finders search the text as a second scan would see it, with
        # every accepted finding already a bracketed marker. Searching the raw
        # text instead loses findings: in "+44 1 1.2.3.4.5 4111 1111 1111 1111"
        # the phone candidate runs into the card, is dropped for overlapping
        # it, and the shorter phone before it only turns up on a second scan.
        working = content
        for kind, finders in self._rules:
            for finder in finders:
                found = [Redaction(kind, start, end) for start, end in finder(working)]
                if found:
                    accepted, kept = _merge(accepted, found)
                    working = _replaced(working, kept, _stand_in)
        return accepted

    def scan(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> str:
        findings = self.find(content)
        if not findings:
            return content
        return _replaced(content, findings, _marker)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(kinds={list(self.kinds)!r})"
