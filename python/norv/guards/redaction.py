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

The patterns search the text folded by ``_fold``: invisible characters
dropped, compatibility forms decomposed, digits of every script made ASCII and
look-alike letters made Latin, so "jane.doe＠example.com", "٤١١١ ١١١١ ..." or
a card number with zero-width spaces between its digits is found as its plain
form would be. Each finding is mapped back to the characters of the text it
came from, and those are replaced whole (invisible characters inside it
included).

Each kind is searched in the text as a second scan would see it, with the
findings of the kinds before it already bracketed like markers, so scanning a
redacted text again finds nothing new.

Like the pattern guard, every pattern is linear-time by construction: bounded
quantifiers, repetition only of single character classes, and look-behind
anchors so that a long run is tried from its start only (an e-mail's local
part also from 64 characters before its "@"). The checksums run on bounded
candidates, so the whole scan stays linear in the length of the text.

``re`` holds the interpreter lock for the whole of a call, so each finder
searches a long text in windows (each searched in a millisecond or two) that
overlap by the longest reach of its pattern (``_windows``), with the findings of one
whole-text search. The masked text that kinds see is kept in chunks, and
findings in arrays; no step handles the whole text in one call, except joining
the redacted result.
"""

from __future__ import annotations

import bisect
import importlib
import re
from array import array
from collections.abc import Callable, Iterable, Iterator, Sequence
from itertools import accumulate, compress, repeat
from operator import add, mul
from typing import Any, NamedTuple

from norv.core.interfaces import SecurityModule
from norv.guards import _fold, _windows

# re's parser: private, but the only account of a pattern's width.
_sre_parser: Any = importlib.import_module("re._parser")

__all__ = ["KINDS", "Redaction", "RedactionShield", "iban_ok", "luhn_ok"]

Span = tuple[int, int]
Finder = Callable[["_Masked"], Iterator[Span]]


class Redaction(NamedTuple):
    """One finding, as offsets into the scanned text."""

    kind: str
    start: int
    end: int


# The Luhn check adds the digits in odd places from the right and the digit
# sums of twice those in even places: 5 doubled is 10, which counts as 1.
_DOUBLED = str.maketrans("0123456789", "0246813579")


def luhn_ok(digits: str) -> bool:
    """The Luhn check that payment card numbers carry in their last digit."""
    if not (digits.isascii() and digits.isdigit()):
        return False
    summed = (digits[-1::-2] + digits[-2::-2].translate(_DOUBLED)).encode()
    return (sum(summed) - 48 * len(summed)) % 10 == 0


# A=10 ... Z=35, as the IBAN checksum reads letters.
_IBAN_DIGITS = str.maketrans({chr(code): str(code - 55) for code in range(ord("A"), ord("Z") + 1)})
# The same as a list, which str.translate reads three times faster than a dict.
_IBAN_VALUES = [_IBAN_DIGITS.get(code, chr(code)) for code in range(128)]
_POWERS_OF_TEN = tuple(10**power for power in range(2 * 46))


def iban_ok(compact: str) -> bool:
    """The ISO 13616 check: length, shape and the mod-97 checksum."""
    if not 15 <= len(compact) <= 34 or not compact.isascii() or not compact.isalnum():
        return False
    if not (compact[:2].isalpha() and compact[2:4].isdigit()):
        return False
    rearranged = (compact[4:] + compact[:4]).upper().translate(_IBAN_DIGITS)
    return int(rearranged) % 97 == 1


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


def _not_after(chars: str, body: str, head: str = "") -> _Pattern:
    """``body`` where it does not follow one of ``chars``.

    ``head``, the start of ``body`` and of a fixed width, is matched before
    the test rather than after it: ``re`` then skips in C to where the head's
    first character occurs, where a pattern that starts with a look-behind is
    tried at every position of the text (about 20 ns each)."""
    if re.fullmatch(f"[{chars}]", "]"):
        raise ValueError(f"a marker's closing bracket must pass the left-context test [{chars}]")
    if not head:
        return _Pattern(re.compile(f"(?<![{chars}])" + body), re.compile(body))
    least, most = _sre_parser.parse(head).getwidth()
    if not body.startswith(head) or least != most:
        raise ValueError(f"{head!r} must start {body!r} and have a fixed width")
    anywhere = head + f"(?<![{chars}](?s:.{{{least}}}))" + body[len(head):]
    return _Pattern(re.compile(anywhere), re.compile(body))


def _not_after_from(first: str, chars: str, body: str, group: str) -> _Pattern:
    """``body`` where it does not follow one of ``chars``, as group ``group``,
    for a body of no fixed head: ``first`` is the class of its first
    characters. The match is that one character; from it, the test looks
    back and the body is matched ahead, in look-arounds, so ``re`` skips in
    C to where ``first`` occurs, as with :func:`_not_after`'s head."""
    if re.fullmatch(f"[{chars}]", "]"):
        raise ValueError(f"a marker's closing bracket must pass the left-context test [{chars}]")
    anywhere = f"[{first}](?<![{chars}](?s:.))(?<=(?=(?P<{group}>{body}))(?s:.))"
    return _Pattern(re.compile(anywhere), re.compile(f"(?P<{group}>{body})"))


# Validators look at most two characters past a candidate ("\.[0-9]" after a
# phone number); windows reach that far beyond the pattern's own reach.
_VALIDATOR_AHEAD = 2
# Windows are _windows.PIECE times ``scale`` characters. Most patterns below
# search at 10 to 15 ns a character (scale 32); the exceptions, measured on
# prose, accented and CJK text, are given with their finders.
_SCALE = 32


def _regex_finder(pattern: _Pattern, validate: Callable[[re.Match[str]], Span | None] | None = None,
                  group: int | str = 0, required: str | None = None, scale: int = _SCALE) -> Finder:
    """Findings of ``pattern``; ``required`` is a literal every one contains,
    checked on each window first because the test is far cheaper than a search."""
    regex = _windows.Windowed(pattern.anywhere, extra=_VALIDATOR_AHEAD, required=required, scale=scale)
    after_finding = _windows.Windowed(pattern.after_finding, extra=_VALIDATOR_AHEAD, scale=scale)

    def find(text: _Masked) -> Iterator[Span]:
        window = _windows.Window()
        widen = text.widen
        size = len(text)
        pos = 0
        last_end = 0  # the end of the finding before: none may overlap it
        finding_ends_here = False
        # Findings may come every few characters ("a@a.aa-a@a.aa-..."): while
        # the window read last serves, the next one is searched in it
        # directly, as Windowed would.
        search_ahead, search_behind = regex.ahead, regex.behind
        after_ahead, after_behind = after_finding.ahead, after_finding.behind
        search_in, match_in = regex.regex.search, after_finding.regex.match
        while True:
            window_start = window.start
            found = None
            if finding_ends_here:
                if (window.end == size or pos < window.end - after_ahead) and pos - after_behind >= window_start:
                    found = match_in(window.text, pos - window_start)
                else:
                    hit = after_finding.match(text, pos, window)
                    window_start = window.start  # the match may have read another window
                    if hit is not None:
                        found = hit.match
            if found is None and window.end >= 0 and pos - search_behind >= window_start \
                    and (window.end == size or pos < window.end - search_ahead):
                found = search_in(window.text, pos - window_start)
                if found is None or (window.end != size and found.start() + window_start >= window.end - search_ahead):
                    if window.end == size:
                        return
                    found = None
                    pos = window.end - search_ahead
            if found is None:
                hit = regex.search(text, pos, window)
                if hit is None:
                    return
                found, window_start = hit.match, hit.offset
            match, offset = found, window_start
            span: Span | None
            if validate is None:
                span = match.span(group)
            else:
                # Validators see the window, and answer in its offsets.
                span = validate(match)
                if span is None:
                    # Retry from the next position: candidates are bounded in
                    # length, so each position is searched a bounded number of
                    # times. Candidates may come one every few characters
                    # ("4111 4111 ..."), so the retries search the window at
                    # hand directly, for as far as it serves.
                    stop = size + 1 if window.end == size else window.end - regex.ahead
                    search = regex.regex.search
                    while span is None:
                        found = search(match.string, match.start() + 1)
                        if found is None or found.start() + offset >= stop:
                            break
                        match = found
                        span = validate(match)
                    if span is None:
                        if stop > size:
                            return
                        pos = max(stop, match.start() + offset + 1)
                        finding_ends_here = False
                        continue
            start, end = span[0] + offset, span[1] + offset
            if widen is not None:
                start, end = widen(start, end)
                start = max(start, last_end)
            yield start, end
            last_end = end
            # A validator may accept less than the candidate ("4111 1111 1111
            # 1111 4111 ..."): the rest may hold the next finding.
            pos = max(end, match.end() + offset) if validate is None else end
            finding_ends_here = True

    return find


# --- private keys ------------------------------------------------------------

_KEY_BEGIN = re.compile(r"-----BEGIN [A-Z0-9 ]{0,24}PRIVATE KEY(?: BLOCK)?-----")
_KEY_END = re.compile(r"-----END [A-Z0-9 ]{0,24}PRIVATE KEY(?: BLOCK)?-----")


_KEY_BEGINS = _windows.Windowed(_KEY_BEGIN, scale=2 * _SCALE)  # a literal prefix: under 1 ns a character
_KEY_ENDS = _windows.Windowed(_KEY_END, scale=2 * _SCALE)


def _find_private_keys(text: _Masked) -> Iterator[Span]:
    # Found by marker search rather than one regex: a key body is thousands of
    # characters, too long for a bounded quantifier to cover cheaply.
    window = _windows.Window()
    pos = 0
    while True:
        begin = _KEY_BEGINS.search(text, pos, window)
        if begin is None:
            return
        end = _KEY_ENDS.search(text, begin.end(), window)
        # A truncated key is still a leaked key.
        span = (begin.start(), len(text) if end is None else end.end())
        if text.widen is not None:
            span = text.widen(*span)
            span = (max(span[0], pos), span[1])
        yield span
        if end is None:
            return
        pos = span[1]


# --- secrets with a recognisable shape --------------------------------------

_B64URL = r"A-Za-z0-9_\-"
_JWT = _not_after(
    _B64URL, rf"eyJ[{_B64URL}]{{5,4096}}+\.eyJ[{_B64URL}]{{5,4096}}+\.[{_B64URL}]{{0,4096}}+(?![{_B64URL}])", "eyJ"
)
_AWS_KEY_ID = _not_after("A-Za-z0-9", r"(?:AKIA|ASIA)[A-Z0-9]{16}(?![A-Za-z0-9])", "(?:AKIA|ASIA)")
_GOOGLE_KEY = _not_after(_B64URL, rf"AIza[{_B64URL}]{{35}}(?![{_B64URL}])", "AIza")
_GITHUB_TOKEN = _not_after(
    "A-Za-z0-9_", r"gh(?:[pousr]_[A-Za-z0-9]{36,251}|ithub_pat_[A-Za-z0-9_]{22,255})(?![A-Za-z0-9_])", "gh"
)
_GITLAB_TOKEN = _not_after(_B64URL, rf"glpat-[{_B64URL}]{{20,64}}(?![{_B64URL}])", "glpat-")

# key = value, "key": "value", key: value. Only the value is redacted, so the
# reader still sees which setting leaked.
_SECRET_NAME = (
    r"(?:api[_-]?key|api[_-]?secret|access[_-]?key(?:[_-]?id)?|access[_-]?token|auth[_-]?token|"
    r"client[_-]?secret|secret[_-]?(?:access[_-]?)?key|private[_-]?key|refresh[_-]?token|"
    r"password|passwd|pwd|passphrase|secret|token)"
)
_SECRET_VALUE = r"""(?P<value>[^\s"'`,;<>\[\]{}()]{6,256})"""


def _caseless(pattern: str) -> str:
    """``pattern`` with each letter outside a class made a class of its two
    cases. Unlike (?i), this costs nothing per character of other scripts,
    which (?i) case-folds at every attempt; the text is folded, so the other
    letters that (?i) matches ("K", the Kelvin sign) are plain ones by then."""
    out = []
    in_class = escaped = False
    for char in pattern:
        if not escaped and not in_class and char.isascii() and char.isalpha():
            out.append(f"[{char.lower()}{char.upper()}]")
        else:
            out.append(char)
        if not escaped:
            in_class = char == "[" or (in_class and char != "]")
        escaped = char == "\\" and not escaped
    return "".join(out)


_ASSIGNMENT_BODY = _caseless(_SECRET_NAME) + r"""["']?[ \t]{0,3}[:=][ \t]{0,3}["']?""" + _SECRET_VALUE
# The name stands alone or ends a longer one ("DB_PASSWORD", "x-api-key").
# Matching from the name on, rather than from the start of its prefix, spares
# a case-insensitive attempt at every letter of the text; only the value is
# redacted, so where the match starts does not show.
# The first letters of the names, tested first: one test rejects most
# positions, where the names would be tried one by one.
_SECRET_NAME_STARTS = "(?=[acprstACPRST])"
_ASSIGNMENT = _Pattern(
    re.compile(_SECRET_NAME_STARTS + r"(?:(?<![A-Za-z0-9])|(?<=[_-]))" + _ASSIGNMENT_BODY),
    re.compile(_SECRET_NAME_STARTS + _ASSIGNMENT_BODY),
)
_BEARER = _not_after(
    "A-Za-z0-9", _caseless("bearer") + r"[ \t]{1,3}(?P<value>[A-Za-z0-9._~+/-]{16,4096}={0,2})(?![A-Za-z0-9._~+/=-])",
    _caseless("bearer"),
)


def _secret_value(match: re.Match[str]) -> Span | None:
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
        rf"(?:(?<![{_LOCAL_PART}])[{_LOCAL_PART}]{{1,64}}"
        rf"|(?<=[{_LOCAL_PART}])(?=.{{64}}@)[{_LOCAL_PART}]{{64}})" + _DOMAIN,
        re.DOTALL,
    ),
    re.compile(rf"[{_LOCAL_PART}]{{1,64}}{_DOMAIN}"),
)

# The countries whose banks give out IBANs: those of the SWIFT registry, the
# territories that use their country's IBANs under codes of their own, and
# the countries that use them outside the registry. A candidate with any
# other two letters at its head is rejected by the pattern, before any of its
# checksums is worked out.
_IBAN_COUNTRIES = frozenset("""
    AD AE AL AT AZ BA BE BG BH BI BR BY CH CR CY CZ DE DJ DK DO EE EG ES FI FK FO FR GB GE GI GL GR GT HN
    HR HU IE IL IQ IS IT JO KW KZ LB LC LI LT LU LV LY MC MD ME MK MN MR MT MU NI NL NO OM PK PL PS PT QA
    RO RS RU SA SC SD SE SI SK SM SO ST SV TL TN TR UA VA VG XK YE
    AX BL GF GG GP IM JE MF MQ NC PF PM RE SJ TF WF YT
    AO BF BJ CF CG CI CM CV DZ GA GQ GW IR KM MA MG ML MZ NE SN TD TG
""".split())


def _country_codes(codes: Iterable[str]) -> str:
    """``codes`` as a pattern: a branch for each first letter, with a class
    of the second ones, so that a position is rejected in a test or two."""
    by_first: dict[str, list[str]] = {}
    for code in sorted(codes):
        by_first.setdefault(code[0], []).append(code[1])
    return "(?:" + "|".join(f"{first}[{''.join(seconds)}]" for first, seconds in by_first.items()) + ")"


_IBAN = _not_after("A-Za-z0-9", _country_codes(_IBAN_COUNTRIES) + r"[0-9]{2}[A-Z0-9 ]{11,42}",
                   _country_codes(_IBAN_COUNTRIES))


def _iban(match: re.Match[str]) -> Span | None:
    """The longest run of whole words of the candidate that is an IBAN.

    The candidate is converted to digits once, and each word end takes its
    prefix of that number by one division: a few operations a word. Only an
    end whose checksum holds has its length checked, by its word's index.
    """
    candidate = match.group()
    converted = candidate.translate(_IBAN_VALUES).split(" ")
    widths = list(accumulate(map(len, converted)))  # digits up to each word's end: letters are two
    digits = "".join(converted)
    # The country code and check digits (six digits) move to the end.
    head, number, total = int(digits[:6]), int(digits[6:]), len(digits)
    # 15 characters are at least 17 digits, 34 at most 66.
    first, stop = bisect.bisect_left(widths, 17), bisect.bisect_right(widths, 66)
    text, start = match.string, match.start()
    words: list[str] = []
    for index in range(stop - 1, first - 1, -1):
        if (number // _POWERS_OF_TEN[total - widths[index]] * 1_000_000 + head) % 97 != 1 or not converted[index]:
            continue
        words = words or candidate.split(" ")
        end = start + sum(map(len, words[:index + 1])) + index
        if not 15 <= end - start - index <= 34:
            continue
        if index == len(words) - 1 and end < len(text) and text[end].isalnum():
            continue  # the candidate stops inside a longer word
        return start, end
    return None


# A candidate is the head and at most 42 more characters.
_IBAN_LONGEST = 46
# Candidate starts handled per run of groups: the checksums of a run are
# worked out once for all the candidates that start in it.
_IBAN_STRETCH = 2048
_IBAN_RUN = re.compile(f"[A-Z0-9 ]{{0,{_IBAN_STRETCH + _IBAN_LONGEST + 1}}}")
# 10^-n mod 97 (68 is the inverse of 10) for as many digits as a run holds:
# two a letter, and six more for the shift of a candidate's head.
_TENTHS = tuple(pow(68, power, 97) for power in range(2 * (_IBAN_STRETCH + _IBAN_LONGEST + 1) + 7))


def _iban_run(string: str, first: int, limit: int) -> tuple[list[Span], int]:
    """The IBANs, as ``_iban`` finds them one candidate at a time, among the
    candidates that start from ``first`` (a candidate) up to ``limit`` in the
    run of groups there, and where the next search goes on.

    Every group of the run is converted to digits once, and a running sum is
    kept from which the checksum of the rearranged number of any candidate up
    to any group's end takes a few operations, where converting it anew took
    microseconds. Every group may start a candidate ("DE89 DE89 ..."), so this
    is what keeps such a run linear.
    """
    run = _IBAN_RUN.match(string, first)  # matches anywhere, if only the empty string
    run_end = first if run is None else run.end()
    # Each candidate has the head and 11 more characters at least.
    limit = min(limit, first + _IBAN_STRETCH, run_end - 14)
    segment = string[first:run_end]
    groups = segment.split(" ")
    sizes = list(map(len, groups))
    # The empty groups that double spaces leave end no candidate: dropped.
    converted = list(compress(segment.translate(_IBAN_VALUES).split(" "), sizes))
    starts = list(compress(accumulate(sizes, lambda at, size: at + size + 1, initial=first), sizes))
    groups = list(compress(groups, sizes))
    sizes = list(compress(sizes, sizes))
    ends = list(map(add, starts, sizes))
    chars_after = list(accumulate(sizes))  # letters and digits up to each group's end
    digits_after = list(accumulate(map(len, converted)))
    # The run's number up to digit d is R(d) = 10^d * Q(d) mod 97, where Q sums
    # each group's value times 10^-(digits up to its end). A candidate's sums
    # are differences, in which the groups before it cancel out, and a group
    # of more than 34 characters is in no candidate: its value may be wrong,
    # cut short so that int() never reads a long string.
    values = map(int, map(str.__getitem__, converted, repeat(slice(0, 70))))
    sums = list(accumulate(map(mul, values, map(_TENTHS.__getitem__, digits_after))))
    # The checksum of a candidate from digit d0 (its first six digits, the
    # head, read as h) up to digit d is 1 when R(d) * 10^6 - 10^(d - d0) *
    # (R(d0) * 10^6 + h) + h - 1 is 0 mod 97, that is, times 10^-(d + 6), when
    # Q(d) + (h - 1) * 10^-(d + 6) is Q(d0) + h * 10^-(d0 + 6).
    shifted = list(map(_TENTHS.__getitem__, map(add, digits_after, repeat(6))))
    # The run's last group may stop before a letter or digit it does not take.
    last_ok = run_end == len(string) or not string[run_end].isalnum()
    found: list[Span] = []
    after = first  # candidates start after the last finding
    countries = _IBAN_COUNTRIES
    count = len(groups)
    # The longest candidate ends at a group end by its 46th character and by
    # its 34th letter or digit; the shortest holds 15. Both move forward with
    # the candidate's start.
    last = shortest = 0
    for index, group in enumerate(groups):
        start = starts[index]
        if start >= limit:
            break
        if start < after or group[:2] not in countries or not group[2:4].isdigit() or len(group) < 4:
            continue
        head = int(converted[index][:6])
        chars = chars_after[index] - sizes[index]
        target = sums[index - 1] + head * shifted[index - 1] if index else head * _TENTHS[6]
        reach, most, least = start + _IBAN_LONGEST, chars + 34, chars + 15
        while last < count and ends[last] <= reach and chars_after[last] <= most:
            last += 1
        while shortest < count and chars_after[shortest] < least:
            shortest += 1
        head -= 1
        for end_index in range(last - 1, shortest - 1, -1):
            if (sums[end_index] + head * shifted[end_index] - target) % 97:
                continue
            end = ends[end_index]
            if end == run_end and not last_ok:
                continue
            found.append((start, end))
            after = end
            break
    return found, max(limit, after)


def _iban_finder() -> Finder:
    """The findings of ``_regex_finder(_IBAN, _iban)``, with the candidates of
    a run of groups checked together (``_iban_run``)."""
    search = _windows.Windowed(_IBAN.anywhere, extra=_VALIDATOR_AHEAD)
    after_finding = _windows.Windowed(_IBAN.after_finding, extra=_VALIDATOR_AHEAD)

    def find(text: _Masked) -> Iterator[Span]:
        window = _windows.Window()
        widen = text.widen
        size = len(text)
        pos = 0
        last_end = 0
        finding_ends_here = False
        while True:
            if finding_ends_here:
                # Only after a finding widened past a character that folds to
                # several can a candidate start right at its end.
                finding_ends_here = False
                hit = after_finding.match(text, pos, window)
                span = None if hit is None else _iban(hit.match)
                if hit is not None and span is not None:
                    start, end = span[0] + hit.offset, span[1] + hit.offset
                    if widen is not None:
                        start, end = widen(start, end)
                        start = max(start, last_end)
                    yield start, end
                    pos = last_end = end
                    finding_ends_here = True
                    continue
            hit = search.search(text, pos, window)
            if hit is None:
                return
            offset = hit.offset
            stop = size + 1 if window.end == size else window.end - search.ahead
            spans, pos = _iban_run(hit.match.string, hit.match.start(), stop - offset)
            pos += offset
            for span in spans:
                start, end = span[0] + offset, span[1] + offset
                if widen is not None:
                    widened = widen(start, end)
                    if widened != (start, end):
                        # The rest of the run is searched again from the widened end.
                        start, end = max(widened[0], last_end), widened[1]
                        yield start, end
                        pos = last_end = end
                        finding_ends_here = True
                        break
                yield start, end
                last_end = end

    return find


# Cards are written in a few layouts: all digits, or a first group of four
# then groups of four (the last one may be short: 13, 15, 17 to 19 digits),
# or 4-6-5 and 4-6-4 (American Express, Diners), with one separator
# throughout. Folding has made no-break spaces plain ones and removed
# zero-width ones.
_CARD_SEPARATORS = (" ", "  ", "-", r"\.", "/")
_CARD_GROUPED = "|".join(
    rf"{sep}(?:[0-9]{{4}}{sep}[0-9]{{4}}{sep}(?:[0-9]{{4}}(?:{sep}[0-9]{{1,3}})?|[0-9]{{1,3}})"
    rf"|[0-9]{{6}}{sep}[0-9]{{4,5}})"
    for sep in _CARD_SEPARATORS
)
_CARD = _not_after(r"\w-", rf"[2-6][0-9]{{3}}(?:[0-9]{{9,15}}|{_CARD_GROUPED})(?![0-9])", "[2-6][0-9]{3}")
_NOT_DIGITS = str.maketrans("", "", " -./")


def _card(match: re.Match[str]) -> Span | None:
    text = match.string
    start, end = match.span()
    candidate = match.group()
    digits = candidate.translate(_NOT_DIGITS)
    ends = [(end, digits)]
    if len(digits) > 16 and not candidate.isdigit():
        # Four groups of four and a short one, which may begin the next
        # number ("4111 1111 1111 1111 12 items").
        shorter = candidate.rstrip("0123456789").rstrip(" -./")
        ends.append((start + len(shorter), digits[:16]))
    for stop, number in ends:
        if stop < len(text) and (text[stop].isalnum() or text[stop] == "-"):
            continue
        if luhn_ok(number):
            return start, stop
    return None


_OCTET = r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
# Not inside a longer dotted number: "1.2.3.4.5" is a version, not an address.
_IPV4 = _not_after_from("0-9", r"\w.", rf"{_OCTET}\.{_OCTET}\.{_OCTET}\.{_OCTET}(?!\w|\.[0-9])", "address")

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
_PHONE = _not_after_from(r"0-9+(", r"\w+.-", _PHONE_SHAPE + _PHONE_END, "number")
_NOT_PHONE_DIGITS = str.maketrans("", "", " ().-+")
_ASCII_DIGITS = frozenset("0123456789")
_WORD_JOINERS = frozenset("_-")


def _phone(match: re.Match[str]) -> Span | None:
    text, start = match.string, match.start("number")
    candidate = match.group("number")
    digits = len(candidate.translate(_NOT_PHONE_DIGITS))
    if candidate[0] != "+":
        # The fixed layouts hold at most 13 digits and no double space, and a
        # shorter match has fewer digits: the longest is the only one to test.
        return match.span("number") if digits >= 10 else None
    if 8 <= digits <= 15 and "  " not in candidate:
        return match.span("number")
    # The longest shape is not always the number: in "+020 7946 0958(020 7946"
    # it has too many digits, while its first three groups are a phone number.
    # The shorter ones end on a digit and, as the pattern's end requires, not
    # before a letter, digit, "_", "-" or "." and a digit; found in one pass.
    found = None
    count = 0
    for index, char in enumerate(candidate):
        if char == " " and candidate[index - 1] == " ":
            break  # so has every longer one
        if char not in _ASCII_DIGITS:
            continue
        count += 1
        if count > 15:
            break
        end = start + index + 1
        if count < 8 or index < 8:
            continue
        after = text[end:end + 1]
        if not (after.isalnum() or after in _WORD_JOINERS
                or (after == "." and text[end + 1:end + 2] in _ASCII_DIGITS)):
            found = start, end
    return found


#: The kinds this shield knows, highest priority first, with their finders.
_RULES: Sequence[tuple[str, Sequence[Finder]]] = (
    ("PRIVATE_KEY", (_find_private_keys,)),
    # Reaches 12,300 characters ahead: windows large enough that the overlap
    # stays a tenth of them.
    ("JWT", (_regex_finder(_JWT, scale=2 * _SCALE),)),
    ("AWS_ACCESS_KEY_ID", (_regex_finder(_AWS_KEY_ID),)),
    ("GOOGLE_API_KEY", (_regex_finder(_GOOGLE_KEY),)),
    ("GITHUB_TOKEN", (_regex_finder(_GITHUB_TOKEN),)),
    ("GITLAB_TOKEN", (_regex_finder(_GITLAB_TOKEN),)),
    # Case-insensitive names: up to 270 ns a character on accented text.
    ("SECRET", (_regex_finder(_ASSIGNMENT, _secret_value, scale=4), _regex_finder(_BEARER, group="value"))),
    ("EMAIL", (_regex_finder(_EMAIL, required="@", scale=8),)),  # up to 85 ns
    ("IBAN", (_iban_finder(),)),
    ("CARD", (_regex_finder(_CARD, _card, scale=16),)),  # up to 40 ns
    ("IPV4", (_regex_finder(_IPV4, group="address", scale=16),)),
    ("PHONE", (_regex_finder(_PHONE, _phone, scale=16),)),
)

KINDS: tuple[str, ...] = tuple(kind for kind, _ in _RULES)
_MARKERS = [f"[REDACTED:{kind}]" for kind in KINDS]

#: Every compiled pattern of the shield, for inspection and tests.
PATTERNS: tuple[re.Pattern[str], ...] = (
    _KEY_BEGIN, _KEY_END,
    *(pattern.anywhere for pattern in (
        _JWT, _AWS_KEY_ID, _GOOGLE_KEY, _GITHUB_TOKEN, _GITLAB_TOKEN, _ASSIGNMENT, _BEARER, _EMAIL, _IBAN, _CARD,
        _IPV4, _PHONE,
    )),
)


# Bulk copies between long sequences go this many items at a time: each is
# one call that holds the interpreter lock.
_BATCH = 4096


class _Findings:
    """Findings, sorted and disjoint, as three arrays: the index of the kind in
    KINDS, the start and the end. Arrays hold plain numbers the garbage
    collector never visits; with a million findings as tuples in a list, every
    full collection would hold the interpreter lock for tens of milliseconds."""

    __slots__ = ("ends", "kinds", "starts")

    def __init__(self) -> None:
        self.kinds = array("B")
        self.starts = array("q")
        self.ends = array("q")

    def __len__(self) -> int:
        return len(self.starts)

    def copy_from(self, other: _Findings, first: int, last: int) -> None:
        """Append ``other``'s findings ``first`` to ``last`` (exclusive)."""
        for start in range(first, last, _BATCH):
            stop = min(last, start + _BATCH)
            self.kinds.extend(other.kinds[start:stop])
            self.starts.extend(other.starts[start:stop])
            self.ends.extend(other.ends[start:stop])

    def merged(self, kind: int, starts: array[int], ends: array[int]) -> tuple[_Findings, array[int], array[int]]:
        """These findings and those of ``kind`` at ``starts``/``ends`` (sorted)
        that overlap none of them; earlier findings win overlaps. Returns the
        merged findings, and the starts and ends of those of ``kind`` kept."""
        merged = _Findings()
        if not self.starts:
            # The first kind found: a finder's findings are sorted and disjoint.
            merged.kinds = array("B", [kind]) * len(starts)
            merged.starts, merged.ends = starts, ends
            return merged, starts, ends
        kept_starts, kept_ends = array("q"), array("q")
        index = 0
        for start, end in zip(starts, ends, strict=True):
            # Findings that end by this one's start come first, as they are.
            after = bisect.bisect_right(self.ends, start, index)
            if after > index:
                merged.copy_from(self, index, after)
                index = after
            if index < len(self) and self.starts[index] < end:
                continue
            if merged.ends and merged.ends[-1] > start:
                continue
            merged.kinds.append(kind)
            merged.starts.append(start)
            merged.ends.append(end)
            kept_starts.append(start)
            kept_ends.append(end)
        merged.copy_from(self, index, len(self))
        return merged, kept_starts, kept_ends


def _redacted(text: str, findings: _Findings) -> str:
    """``text`` with each finding replaced by its marker."""
    # Joined in parts, then the parts: one join of a million pieces would hold
    # the interpreter lock for as long as the iteration over them takes.
    parts: list[str] = []
    pieces: list[str] = []
    pos = 0
    for kind, start, end in zip(findings.kinds, findings.starts, findings.ends, strict=True):
        pieces.append(text[pos:start])
        pieces.append(_MARKERS[kind])
        pos = end
        if len(pieces) >= _BATCH:
            parts.append("".join(pieces))
            pieces = []
    pieces.append(text[pos:])
    parts.append("".join(pieces))
    return parts[0] if len(parts) == 1 else "".join(parts)


def _stand_in(length: int, start: int, end: int) -> str:
    """Characters ``start`` to ``end`` of the stand-in for a finding of ``length`` characters.

    The stand-in takes the marker's place while later kinds search: it is
    bracketed like a marker, and no pattern crosses or starts on a bracket, so
    finders see the same context around it as around ``[REDACTED:<KIND>]``
    while offsets stay those of the scanned text.
    """
    if length < 2:
        return "]" * (end - start)
    opening = "[" if start == 0 else ""
    closing = "]" if end == length else ""
    return opening + _MASK_FILL * (end - start - len(opening) - len(closing)) + closing


# Inside the brackets: a character that no pattern starts with or repeats.
_MASK_FILL = "\x00"
# The stand-ins of the shorter findings, whole.
_WHOLE_STAND_INS = tuple(_stand_in(length, 0, length) for length in range(256))

# Characters per chunk of the masked text, in units of _windows.PIECE (64 K
# characters by default, copied in some microseconds).
_CHUNK_SCALE = 32


def _widener(folded: _fold.Folded) -> Callable[[int, int], Span]:
    """Widens a span of ``folded`` to the whole of each original character it
    covers part of. A character that folds to several ("⑴" to "(1)") is then
    either redacted whole or left whole, and later kinds see the text around
    it as a second scan will see it."""
    return folded.widen


def _in_original(findings: _Findings, folded: _fold.Folded) -> _Findings:
    """``findings`` in the folded text as spans of the original. Each covers
    the characters its folded ones came from, invisible ones inside it too."""
    mapped = _Findings()
    kinds, starts, ends = mapped.kinds, mapped.starts, mapped.ends
    last = 0
    # Findings may come one every few characters: those inside one piece of
    # the folded text are mapped here rather than by a call each.
    base, origin, piece_ends, limit, tails = 0, 0, None, -1, ""
    # When no character of the piece folds to nothing, the original offset of
    # a folded one is the count of foldings started up to it: counted in C
    # from the last finding on, rather than searched for in the ends.
    counted = False
    at = at_index = 0
    bisect_right = bisect.bisect_right
    for kind, start, end in zip(findings.kinds, findings.starts, findings.ends, strict=True):
        if not base <= start < limit:
            base, origin, piece_ends, limit, tails = folded.piece_at(start)
            counted = piece_ends is not None and tails.count("\x00") == len(piece_ends)
            at = at_index = 0
        if end > limit:
            start, end = folded.span(start, end)
        elif piece_ends is None:
            start, end = origin + start - base, origin + end - base
        elif counted:
            first = at_index + tails.count("\x00", at + 1, start - base + 1)
            at, at_index = end - 1 - base, first + tails.count("\x00", start - base + 1, end - base)
            start, end = origin + first, origin + at_index + 1
        else:
            start = origin + bisect_right(piece_ends, start - base)
            end = origin + bisect_right(piece_ends, end - 1 - base) + 1
        # Widened findings share no character; should two ever touch one,
        # the first keeps it.
        if start < last:
            start = last
        if start >= end:
            continue
        kinds.append(kind)
        starts.append(start)
        ends.append(end)
        last = end
    return mapped


class _Masked(_windows.Chunked):
    """The text as the next kind's finders see it: ``content`` with the findings
    accepted so far replaced by stand-ins. It is held in chunks of fixed size,
    so masking a kind's findings copies only the chunks they fall in, and
    reading a window costs the same however many findings it holds."""

    def __init__(self, content: str | _windows.Source) -> None:
        length = len(content)
        self.size = size = _windows.PIECE * _CHUNK_SCALE
        #: Widens a finding to whole characters of the text that was folded
        #: (None when nothing folds to several characters).
        self.widen: Callable[[int, int], Span] | None = None
        if isinstance(content, str):
            super().__init__([content[at:at + size] for at in range(0, length, size)] if length > size else [content])
            return
        super().__init__([content.read(at, at + size) for at in range(0, length, size)])
        if isinstance(content, _fold.Folded):
            self.widen = _widener(content)

    def mask(self, starts: array[int], ends: array[int]) -> None:
        """Replace the findings at ``starts``/``ends`` (sorted, disjoint, clear
        of those masked before) by their stand-ins, one chunk at a time."""
        size = self.size
        index = -1  # the chunk being rebuilt
        chunk = ""
        pieces: list[str] = []
        pos = 0
        offset = limit = 0  # the span of the chunk being rebuilt
        whole = _WHOLE_STAND_INS
        for first, last in zip(starts, ends, strict=True):
            if first >= offset and last <= limit:
                # Within the chunk at hand, as findings mostly are.
                length = last - first
                pieces.append(chunk[pos:first - offset])
                pieces.append(whole[length] if length < len(whole) else _stand_in(length, 0, length))
                pos = last - offset
                continue
            # A finding may span chunks (a private key): each gets its part.
            for number in range(first // size, (last - 1) // size + 1):
                if number != index:
                    if index >= 0:
                        pieces.append(chunk[pos:])
                        self.chunks[index] = "".join(pieces)
                    index, chunk, pieces, pos = number, self.chunks[number], [], 0
                    offset, limit = number * size, number * size + len(chunk)
                low, high = max(first, offset), min(last, offset + size)
                pieces.append(chunk[pos:low - offset])
                pieces.append(_stand_in(last - first, low - first, high - first))
                pos = high - offset
        if index >= 0:
            pieces.append(chunk[pos:])
            self.chunks[index] = "".join(pieces)


class RedactionShield(SecurityModule):
    """Replaces personal data and well-known secrets with ``[REDACTED:<KIND>]``.

    ``kinds`` limits the shield to some of :data:`KINDS` (all by default).
    ``scan`` returns the response object itself when nothing is found. The
    shield holds no mutable state, so one instance may scan on many threads at
    once.
    """

    def __init__(self, kinds: Iterable[str] | None = None) -> None:
        if kinds is None:
            selected = set(KINDS)
        else:
            selected = set(kinds)
            unknown = selected - set(KINDS)
            if unknown:
                raise ValueError(f"unknown redaction kinds: {', '.join(sorted(unknown))}")
        self.kinds: tuple[str, ...] = tuple(kind for kind in KINDS if kind in selected)
        self._rules = tuple((kind, finders) for kind, finders in _RULES if kind in selected)
        # Loaded here rather than by the first scan, which would pay for it.
        _fold._tables()

    def find(self, content: str) -> list[Redaction]:
        """Every finding in ``content``, in text order, without overlaps."""
        found = self._find(content)
        return [Redaction(KINDS[kind], start, end)
                for kind, start, end in zip(found.kinds, found.starts, found.ends, strict=True)]

    def _find(self, content: str) -> _Findings:
        folded = _fold.fold(content)
        accepted = _Findings()
        masked = _Masked(folded)
        # Later finders search the text as a second scan would see it, with
        # every accepted finding already a bracketed marker. Searching the raw
        # text instead loses findings: in "+44 1 1.2.3.4.5 4111 1111 1111 1111"
        # the phone candidate runs into the card, is dropped for overlapping
        # it, and the shorter phone before it only turns up on a second scan.
        for kind, finders in self._rules:
            for finder in finders:
                starts, ends = array("q"), array("q")
                for start, end in finder(masked):
                    starts.append(start)
                    ends.append(end)
                if starts:
                    accepted, kept_starts, kept_ends = accepted.merged(KINDS.index(kind), starts, ends)
                    masked.mask(kept_starts, kept_ends)
        if accepted and isinstance(folded, _fold.Folded):
            return _in_original(accepted, folded)
        return accepted

    def findings(self, content: str) -> list[dict[str, Any]]:
        """What ``scan`` redacts in ``content``, as reasons: ``kind`` and ``span``."""
        return [{"kind": found.kind, "span": [found.start, found.end]} for found in self.find(content)]

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        findings = self._find(content)
        if not findings:
            return content
        return _redacted(content, findings)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(kinds={list(self.kinds)!r})"
