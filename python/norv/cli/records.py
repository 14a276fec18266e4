"""Reading screening input: JSON Lines records or plain-text prompts, one per line.

A line that cannot be used becomes a :class:`RecordError` that names the line
and what was wrong with it; the reader never stops on bad data.
"""

from __future__ import annotations

import json
import math
import sys
from collections.abc import Callable, Iterable, Iterator
from typing import Any, BinaryIO, NamedTuple

__all__ = [
    "ARRAY_MESSAGE",
    "ERROR_KINDS",
    "RESERVED_KEYS",
    "JsonArrayInput",
    "LineTooLarge",
    "Record",
    "RecordError",
    "bounded_lines",
    "format_for_path",
    "looks_like_array",
    "read_records",
]

#: The kinds of error a result line can name (its "error_kind").
ERROR_KINDS = ("not_utf8", "malformed_json", "wrong_shape", "not_text", "too_large", "pipeline_error")

#: Record keys and result-line keys: never carried over by --keep-keys.
RESERVED_KEYS = frozenset({"prompt", "response", "metadata", "id", "line", "input", "output", "events",
                           "error", "error_kind"})

#: How much of an over-long line is read at a time while it is skipped.
SKIP_BYTES = 1 << 20

ARRAY_MESSAGE = "looks like a JSON array; norv screen reads JSON Lines, one object per line"


class JsonArrayInput(Exception):
    """The input's first non-blank character is ``[``: a JSON document, not JSON Lines."""

_KEYS = ("prompt", "response", "metadata", "id")
_KEY_SET = frozenset(_KEYS)


class Record(NamedTuple):
    line: int
    prompt: str | None
    response: str | None
    metadata: dict[str, Any] | None = None
    id: Any = None
    has_id: bool = False
    #: The --keep-keys the record had, in the record's order (None: none kept).
    kept: dict[str, Any] | None = None


class LineTooLarge(NamedTuple):
    """Stands for a line over the cap in a stream of lines: the line itself was never held."""

    limit: int


class RecordError(NamedTuple):
    line: int
    kind: str
    message: str


Item = Record | RecordError

_SUFFIX_FORMATS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".txt": "text", ".text": "text"}


def format_for_path(path: str) -> str | None:
    """The input format implied by a file name's suffix (``.gz`` looked through), or None when it implies none."""
    if path.lower().endswith(".gz"):
        path = path[:-3]
    dot = path.rfind(".")
    if dot <= path.rfind("/"):
        return None
    return _SUFFIX_FORMATS.get(path[dot:].lower())


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    return "object"


def _surrogate_at(text: str) -> int:
    """Index of the first lone surrogate in ``text``, or -1.

    JSON's \\ud800 escapes can produce them; they are not text and cannot be
    written back out as UTF-8.
    """
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return exc.start
    return -1


def _text_field(obj: dict[str, Any], key: str, line: int) -> str | RecordError | None:
    value = obj.get(key)
    if value is None:
        return None
    if type(value) is not str:
        return RecordError(line, "not_text", f"'{key}' must be a string, got {_json_type(value)}")
    if value.isascii():  # a flag of the string object: the common case costs nothing
        return value
    bad = _surrogate_at(value)
    if bad >= 0:
        return RecordError(line, "not_text", f"'{key}' is not valid Unicode text (lone surrogate at character {bad})")
    return value


class _Refused(ValueError):
    """Valid-looking JSON that no record may hold; carries its result line's error kind."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind
        self.message = message


def _object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # With a repeated key the last one would win silently: an attack in the
    # first "prompt" would be screened as the harmless second one.
    obj = dict(pairs)
    if len(obj) != len(pairs):
        seen: set[str] = set()
        repeated = next(key for key, _ in pairs if key in seen or seen.add(key))  # type: ignore[func-returns-value]
        raise _Refused("wrong_shape", f"duplicate key {repeated!r}")
    return obj


def _finite(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise _Refused("wrong_shape", f"number {_clip(text)} is out of range (result lines are strict JSON)")
    return value


def _constant(name: str) -> Any:
    raise _Refused("wrong_shape", f"{name} is not a JSON number (result lines are strict JSON)")


def _clip(text: str) -> str:
    return text if len(text) <= 24 else text[:20] + "..."


_DECODER = json.JSONDecoder(object_pairs_hook=_object, parse_float=_finite, parse_constant=_constant)


def _surrogates_in(obj: dict[str, Any]) -> None:
    """Raise for a lone surrogate in any key or string of ``obj`` but a string prompt or response.

    Those two keep their own message (see :func:`_text_field`); anything else
    holding one could not be written back as UTF-8, nor handed on as text.
    """
    for key, value in obj.items():
        if type(value) is str and key in ("prompt", "response"):
            continue
        stack: list[Any] = [key, value]
        while stack:
            item = stack.pop()
            if type(item) is str:
                if _surrogate_at(item) >= 0:
                    where = f"{key!r}" if item is not key else "a key"
                    raise _Refused("not_text", f"{where} holds text that is not valid Unicode (a lone surrogate)")
            elif type(item) is dict:
                for pair in item.items():
                    stack.extend(pair)
            elif type(item) is list:
                stack.extend(item)


def _load(text: str) -> Any:
    """``text`` as JSON; :class:`_Refused` for what parses but no record may hold."""
    try:
        obj = _DECODER.decode(text)
    except (json.JSONDecodeError, _Refused, RecursionError):
        raise
    except ValueError:  # an integer past the interpreter's digit limit
        limit = sys.get_int_max_str_digits() if hasattr(sys, "get_int_max_str_digits") else 4300
        raise _Refused("wrong_shape", f"a number has more than {limit} digits") from None
    # Lone surrogates come only from \uD800-\uDFFF escapes: the line itself is valid UTF-8.
    if type(obj) is dict and ("\\ud" in text or "\\uD" in text):
        _surrogates_in(obj)
    return obj


def parse_json_record(text: str, line: int, keep: frozenset[str] = frozenset()) -> Item:
    try:
        obj = _load(text)
    except _Refused as exc:
        return RecordError(line, exc.kind, exc.message)
    except json.JSONDecodeError as exc:
        return RecordError(line, "malformed_json", f"malformed JSON: {exc.msg} at column {exc.colno}")
    except RecursionError:
        return RecordError(line, "malformed_json", "malformed JSON: nested too deeply")
    if type(obj) is not dict:
        return RecordError(line, "wrong_shape", f"expected a JSON object, got {_json_type(obj)}")
    if not obj.keys() <= _KEY_SET | keep:
        unknown = [key for key in obj if key not in _KEYS and key not in keep]
        return RecordError(
            line, "wrong_shape",
            f"unknown key {unknown[0]!r} (a record has 'prompt', 'response', 'metadata' and 'id'"
            f"{', and --keep-keys' if keep else ''})",
        )
    prompt = _text_field(obj, "prompt", line)
    if isinstance(prompt, RecordError):
        return prompt
    response = _text_field(obj, "response", line)
    if isinstance(response, RecordError):
        return response
    if prompt is None and response is None:
        return RecordError(line, "wrong_shape", "record has neither 'prompt' nor 'response'")
    metadata = obj.get("metadata")
    if metadata is not None and type(metadata) is not dict:
        return RecordError(line, "wrong_shape", f"'metadata' must be an object or null, got {_json_type(metadata)}")
    kept = {key: value for key, value in obj.items() if key in keep} if keep else None
    return Record(line, prompt, response, metadata, obj.get("id"), "id" in obj, kept or None)


def looks_like_array(head: bytes) -> bool:
    """Whether the first non-blank character of ``head`` (the start of an input) is ``[``."""
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    return head.lstrip()[:1] == b"["


def bounded_lines(source: BinaryIO, limit: int,
                  stopped: Callable[[], bool] = lambda: False) -> Iterator[bytes | LineTooLarge]:
    """The lines of ``source``, each with its line end; a line over ``limit`` bytes (line end not
    counted) as :class:`LineTooLarge`, given as soon as it is known and then skipped in bounded pieces.

    Memory stays under ``limit`` plus a piece whatever the input (``/dev/zero``
    included), and every read returns to Python, so signals are acted on.
    Reading ends at the next read once ``stopped()`` is true.
    """
    readline = source.readline
    while not stopped():
        raw = readline(limit + 1)
        if len(raw) <= limit or raw[-1:] == b"\n":
            if not raw:
                return
            yield raw
            continue
        yield LineTooLarge(limit)
        while not stopped():
            piece = readline(SKIP_BYTES)
            if not piece or piece[-1:] == b"\n":
                break


def read_records(stream: Iterable[bytes | LineTooLarge], fmt: str, first_line: int = 1,
                 keep: frozenset[str] = frozenset()) -> Iterator[Item]:
    """Yield one item per non-blank line of ``stream``, whose first line is number ``first_line``.

    Blank (whitespace-only) lines are no records and yield nothing; the line
    numbers of later records still count them. JSON Lines whose first non-blank
    line starts with ``[`` raise :class:`JsonArrayInput`. ``keep`` names extra
    keys a record may have, carried into its result line.
    """
    first_seen = first_line > 1
    loads = _DECODER.decode
    keys = _KEY_SET | keep
    make = tuple.__new__  # a record without a Python-level __new__ frame: this loop is per line
    for number, raw in enumerate(stream, start=first_line):
        if number == 1 and type(raw) is bytes and raw.startswith(b"\xef\xbb\xbf"):
            raw = raw[3:]
        try:
            text = raw.decode("utf-8")  # type: ignore[union-attr]
        except UnicodeDecodeError as exc:
            yield RecordError(number, "not_utf8", f"not valid UTF-8 at byte {exc.start + 1}")
            continue
        except AttributeError:  # a LineTooLarge: the only item without decode
            first_seen = True
            yield RecordError(number, "too_large", f"line longer than {raw.limit} bytes "  # type: ignore[union-attr]
                              "(--max-line-bytes); skipped unread")
            continue
        if not text or text.isspace():
            continue
        if fmt == "text":
            if text.endswith("\n"):
                text = text[:-2] if text.endswith("\r\n") else text[:-1]
            yield Record(number, text, None)
            continue
        if not first_seen:
            first_seen = True
            if text.lstrip().startswith("["):
                raise JsonArrayInput(number)
        # The common record: an object of known keys with text fields and an
        # object or no metadata. Anything else is judged by parse_json_record.
        try:
            obj = loads(text)
        except (ValueError, RecursionError):  # _Refused included: parse_json_record says why
            obj = None
        if type(obj) is dict and obj.keys() <= keys and "\\ud" not in text and "\\uD" not in text:
            prompt = obj.get("prompt")
            response = obj.get("response")
            metadata = obj.get("metadata")
            if ((prompt is None or (type(prompt) is str and (prompt.isascii() or _surrogate_at(prompt) < 0)))
                    and (response is None or (type(response) is str
                                              and (response.isascii() or _surrogate_at(response) < 0)))
                    and (prompt is not None or response is not None)
                    and (metadata is None or type(metadata) is dict)):
                kept = {key: value for key, value in obj.items() if key in keep} if keep else None
                yield make(Record, (number, prompt, response, metadata, obj.get("id"), "id" in obj, kept or None))
                continue
        if text.endswith("\n"):
            text = text[:-2] if text.endswith("\r\n") else text[:-1]
        yield parse_json_record(text, number, keep)
