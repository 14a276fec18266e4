"""Records to result lines: what every screening process does with each record it is given."""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Callable
from json import JSONEncoder
from typing import TYPE_CHECKING, Any

from norv.cli.errors import GuardAbort, exception_args
from norv.cli.loading import guard_named
from norv.cli.records import Record, RecordError
from norv.cli.report import Stats
from norv.cli.settings import GuardSettings
from norv.screening import screen_input, screen_output

if TYPE_CHECKING:
    from norv.cli.signals import Signals
    from norv.pipeline import Pipeline
    from norv.screening import CallResult

__all__ = ["Screener", "result_json"]

# Result lines are strict JSON: no NaN or Infinity, which most parsers refuse.
_encode = JSONEncoder(ensure_ascii=False, allow_nan=False).encode
_SURROGATE = re.compile("[\ud800-\udfff]")


def result_json(line: dict[str, Any]) -> str:
    """``line`` as one strict-JSON, UTF-8-writable line; never raises for what a guard put in it."""
    try:
        text = _encode(line)
    except (ValueError, TypeError):
        # A guard's reasons holding a non-finite number or an object JSON has no form for.
        text = _encode(_strict(line))
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:  # a guard returned text with a lone surrogate
            text = _SURROGATE.sub("\ufffd", text)
    return text + "\n"


def _strict(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(key): _strict(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(item) for item in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if value is None or isinstance(value, (str, int, float)):
        return value
    return repr(value)



class Screener:
    """Turns input items into result lines, counting them in ``stats``; the same in every process."""

    def __init__(self, pipeline: Pipeline, settings: GuardSettings, stats: Stats, signals: Signals) -> None:
        self.pipeline = pipeline
        self.coordinator = pipeline.coordinator
        self.settings = settings
        self.stats = stats
        self.signals = signals
        # The pipeline's calls add its size cap and two Python frames a text:
        # without a cap, the screening calls themselves.
        self._screen_input: Callable[..., Any] = (functools.partial(screen_input, self.coordinator)
                                                  if pipeline.max_chars is None else pipeline.screen_input)
        self._screen_output: Callable[..., Any] = (functools.partial(screen_output, self.coordinator)
                                                   if pipeline.max_chars is None else pipeline.screen_output)

    def result_line(self, item: Any) -> str:
        if type(item) is Record:
            call = "process_input"
            try:
                result_in = (self._screen_input(item.prompt, item.metadata)
                             if item.prompt is not None else None)
                call = "process_output"
                result_out = (self._screen_output(item.response, item.metadata)
                              if item.response is not None else None)
            except Exception as exc:
                item = RecordError(item.line, "pipeline_error", f"{call} raised {type(exc).__name__}: {exc}")
            except BaseException as exc:
                if isinstance(exc, KeyboardInterrupt) and self.signals.received is not None:
                    raise
                raise GuardAbort(f"{guard_named(exc, self.coordinator, self.settings)} raised "
                                 f"{type(exc).__name__}{exception_args(exc)} in {call} on line {item.line}") from exc
            else:
                # Stats.add, inlined: this runs once a record.
                stats = self.stats
                stats.records += 1
                line: dict[str, Any] = {"line": item.line}
                if item.has_id:
                    line["id"] = item.id
                if item.kept is not None:
                    line.update(item.kept)
                stats.add(result_in, result_out)
                line["input"], events_in = _part(result_in)
                line["output"], events_out = _part(result_out)
                line["events"] = events_in + events_out
                return result_json(line)
        self.stats.records += 1
        self.stats.add_error(item.kind)
        return result_json({"line": item.line, "error": item.message, "error_kind": item.kind})


def _part(result: CallResult | None) -> tuple[dict[str, Any] | None, tuple[dict[str, Any], ...]]:
    """A call's part of the result line (None when the record had no such text), and its events."""
    if result is None:
        return None, ()
    part: dict[str, Any] = {"verdict": result.verdict, "text": result.text}
    if result.reasons:
        part["reasons"] = result.reasons
    return part, result.events
