"""Reading screening input: JSON Lines records or plain-text prompts, one per line.

A line that cannot be used becomes a :class:`RecordError` that names the line
and what was wrong with it; the reader never stops on bad data.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple

__all__ = [
    "ARRAY_MESSAGE",
    "ERROR_KINDS",
    "JsonArrayInput",
    "Record",
    "RecordError",
    "format_for_path",
    "looks_like_array",
    "read_records",
]

#: The kinds of error a result line can name (its "error_kind").
ERROR_KINDS = ("not_utf8", "malformed_json", "wrong_shape", "not_text", "pipeline_error")

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


class RecordError(NamedTuple):
    line: int
    kind: str
    message: str


Item = Record | RecordError

_SUFFIX_FORMATS = {".jsonl": "jsonl", ".ndjson": "jsonl", ".json": "jsonl", ".txt": "text", ".text": "text"}


def format_for_path(path: str) -> str | None:
    """The input format implied by a file name's suffix, or None when it implies none."""
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


def parse_json_record(text: str, line: int) -> Item:
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as exc:
        return RecordError(line, "malformed_json", f"malformed JSON: {exc.msg} at column {exc.colno}")
    except RecursionError:
        return RecordError(line, "malformed_json", "malformed JSON: nested too deeply")
    if type(obj) is not dict:
        return RecordError(line, "wrong_shape", f"expected a JSON object, got {_json_type(obj)}")
    if not obj.keys() <= _KEY_SET:
        unknown = [key for key in obj if key not in _KEYS]
        return RecordError(
            line, "wrong_shape",
            f"unknown key {unknown[0]!r} (a record has 'prompt', 'response', 'metadata' and 'id')",
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
    return Record(line, prompt, response, metadata, obj.get("id"), "id" in obj)


def looks_like_array(head: bytes) -> bool:
    """Whether the first non-blank character of ``head`` (the start of an input) is ``[``."""
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    return head.lstrip()[:1] == b"["


def read_records(stream: Iterable[bytes], fmt: str, first_line: int = 1) -> Iterator[Item]:
    """Yield one item per non-blank line of ``stream``, whose first line is number ``first_line``.

    Blank (whitespace-only) lines are no records and yield nothing; the line
    numbers of later records still count them. JSON Lines whose first non-blank
    line starts with ``[`` raise :class:`JsonArrayInput`.
    """
    first_seen = first_line > 1
    loads = json.loads
    keys = _KEY_SET
    make = tuple.__new__  # a record without a Python-level __new__ frame: this loop is per line
    for number, raw in enumerate(stream, start=first_line):
        if number == 1 and raw.startswith(b"\xef\xbb\xbf"):
            raw = raw[3:]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            yield RecordError(number, "not_utf8", f"not valid UTF-8 at byte {exc.start + 1}")
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
        except (ValueError, RecursionError):
            obj = None
        if type(obj) is dict and obj.keys() <= keys:
            prompt = obj.get("prompt")
            response = obj.get("response")
            metadata = obj.get("metadata")
            if ((prompt is None or (type(prompt) is str and (prompt.isascii() or _surrogate_at(prompt) < 0)))
                    and (response is None or (type(response) is str
                                              and (response.isascii() or _surrogate_at(response) < 0)))
                    and (prompt is not None or response is not None)
                    and (metadata is None or type(metadata) is dict)):
                yield make(Record, (number, prompt, response, metadata, obj.get("id"), "id" in obj))
                continue
        if text.endswith("\n"):
            text = text[:-2] if text.endswith("\r\n") else text[:-1]
        yield parse_json_record(text, number)
