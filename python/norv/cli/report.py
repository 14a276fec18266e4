"""Counting and showing what a screening run did: audit events, verdicts, latency, progress."""

from __future__ import annotations

import logging
import math
import time
from array import array
from collections import Counter
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

__all__ = ["EventTap", "Progress", "Stats", "percentile", "render_summary"]

#: The coordinator's events and step labels, always listed so that a zero shows.
STANDARD_EVENTS = ("THREAT_DETECTED", "TIMEOUT", "INTERNAL_MODULE_ERROR")
STANDARD_MODULES = ("InputHeuristic", "InputNeural", "Output")
INPUT_VERDICTS = ("passed", "sanitised", "refused")
OUTPUT_VERDICTS = ("passed", "redacted")


class EventTap(logging.Handler):
    """Counts the coordinator's audit events and keeps those of the current record.

    Events are recognised by the attributes that ``norv.utils.logger.log_audit``
    puts on the log record, not by parsing the JSON text.
    """

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.counts: Counter[Tuple[str, str]] = Counter()
        self.current: List[Dict[str, Any]] = []

    def emit(self, record: logging.LogRecord) -> None:
        event = getattr(record, "norv_event", None)
        if event is None:
            return
        details = getattr(record, "norv_details", None) or {}
        module = str(details.get("module", "?"))
        self.counts[(str(event), module)] += 1
        self.current.append({"event": event, **details})

    def take(self) -> List[Dict[str, Any]]:
        events, self.current = self.current, []
        return events


def percentile(sorted_values: Sequence[float], pct: float) -> float:
    """Nearest-rank percentile of already sorted values (0.0 for none)."""
    if not sorted_values:
        return 0.0
    rank = max(1, math.ceil(pct / 100.0 * len(sorted_values)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


class Stats:
    """Everything the summary shows, filled in as records go by."""

    def __init__(self) -> None:
        self.records = 0  # every item read, good or bad
        self.errors: Counter[str] = Counter()
        self.input_verdicts: Counter[str] = Counter()
        self.output_verdicts: Counter[str] = Counter()
        self.latency: Dict[str, array] = {"process_input": array("d"), "process_output": array("d")}
        self.detections = 0  # THREAT_DETECTED events, audit-only ones included
        self.critical_lines = 0
        self.started = time.monotonic()
        self.elapsed = 0.0
        self.interrupted = False

    @property
    def flagged(self) -> bool:
        """Whether any step refused, sanitised or redacted, or any module detected something."""
        return bool(
            self.detections
            or self.input_verdicts["refused"]
            or self.input_verdicts["sanitised"]
            or self.output_verdicts["redacted"]
        )


def _table(rows: List[List[str]]) -> List[str]:
    widths = [max(len(row[col]) for row in rows) for col in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
    return lines


def render_summary(stats: Stats, events: Counter[Tuple[str, str]], settings: str) -> str:
    from norv.cli.records import ERROR_KINDS

    bad = sum(stats.errors.values())
    head = (
        f"norv screen: {stats.records} record{'s' if stats.records != 1 else ''} in {stats.elapsed:.2f} s"
        f" ({stats.records - bad} screened, {bad} with errors)"
    )
    if stats.interrupted:
        head += ", interrupted"
    out = [head, settings, ""]

    verdict_rows = [["verdicts", *INPUT_VERDICTS, "redacted"]]
    verdict_rows.append(["input", *(str(stats.input_verdicts[v]) for v in INPUT_VERDICTS), "-"])
    verdict_rows.append(["output", str(stats.output_verdicts["passed"]), "-", "-", str(stats.output_verdicts["redacted"])])
    out += _table(verdict_rows)

    if bad:
        detail = ", ".join(f"{ERROR_KINDS.get(kind, kind)} {count}" for kind, count in sorted(stats.errors.items()))
        out += ["", f"errors: {bad} ({detail})"]

    modules = list(STANDARD_MODULES) + sorted({m for _, m in events} - set(STANDARD_MODULES))
    names = list(STANDARD_EVENTS) + sorted({e for e, _ in events} - set(STANDARD_EVENTS))
    event_rows = [["audit events", *modules, "total"]]
    for name in names:
        counts = [events[(name, module)] for module in modules]
        event_rows.append([name, *map(str, counts), str(sum(counts))])
    out += [""] + _table(event_rows)
    if stats.critical_lines:
        out.append(f"last-resort failures (NORV CRITICAL FAILURE lines): {stats.critical_lines}")

    latency_rows = [["latency (ms)", "calls", "p50", "p95", "p99", "max"]]
    for call, values in stats.latency.items():
        ordered = sorted(values)
        cells = [percentile(ordered, p) for p in (50, 95, 99)] + [ordered[-1] if ordered else 0.0]
        latency_rows.append([call, str(len(ordered)), *(f"{value * 1000:.3f}" for value in cells)])
    out += [""] + _table(latency_rows)
    return "\n".join(out) + "\n"


class Progress:
    """A one-line progress bar on a terminal (standard error), drawn only for long runs.

    It shows nothing unless ``stream`` is a TTY, and nothing during the first
    ``delay`` seconds, so short runs and redirected output stay clean.
    """

    def __init__(self, stream: Optional[TextIO], total_bytes: Optional[int], *, enabled: bool = True,
                 delay: float = 0.5, interval: float = 0.1, width: int = 30, clock=time.monotonic) -> None:
        isatty = getattr(stream, "isatty", None)
        self._stream = stream
        self._active = bool(enabled and stream is not None and isatty is not None and isatty())
        self._total = total_bytes if total_bytes else None
        self._clock = clock
        self._start = clock()
        self._delay = delay
        self._interval = interval
        self._width = width
        self._last_draw = float("-inf")
        self._shown = False
        self.records = 0
        self.bytes = 0

    def advance_bytes(self, count: int) -> None:
        self.bytes += count

    def update(self, records: int) -> None:
        self.records = records
        if not self._active:
            return
        now = self._clock()
        if now - self._start < self._delay or now - self._last_draw < self._interval:
            return
        self._last_draw = now
        self._draw(now)

    def _draw(self, now: float) -> None:
        assert self._stream is not None
        elapsed = max(now - self._start, 1e-9)
        rate = self.records / elapsed
        if self._total:
            fraction = min(self.bytes / self._total, 1.0)
            filled = int(fraction * self._width)
            bar = "#" * filled + "-" * (self._width - filled)
            line = f"[{bar}] {fraction * 100:5.1f}%  {self.records} records  {rate:.0f}/s"
        else:
            line = f"{self.records} records  {rate:.0f}/s"
        self._stream.write("\r\x1b[K" + line)
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        """Erase the bar so that another line can be written; the next update redraws it."""
        if self._shown and self._stream is not None:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False

    def finish(self) -> None:
        self.clear()
        self._active = False
