"""Counting and showing what a screening run did: verdicts, events, latency, the gate, progress."""

from __future__ import annotations

import math
import time
from collections.abc import Iterable, Sequence
from typing import Any, TextIO

from norv.screening import CallResult
from norv.vocabulary import (
    ADMISSION_TIMEOUT,
    INTERNAL_MODULE_ERROR,
    LAST_RESORT,
    STEPS,
    THREAT_DETECTED,
    TIMEOUT,
    VERDICTS,
)

__all__ = ["GATE_CATEGORIES", "Histogram", "Progress", "Stats", "parse_fail_on", "render_summary"]

#: The coordinator's events and step labels, always listed so that a zero shows.
STANDARD_EVENTS = (THREAT_DETECTED, TIMEOUT, INTERNAL_MODULE_ERROR)
STANDARD_MODULES = tuple(step for _, step in STEPS)
#: Verdict columns of the summary; over_capacity (an admission gate's) and too_long show only when they occur.
SUMMARY_VERDICTS = ("passed", "sanitised", "refused", "redacted", "timed_out", "module_error", "last_resort")
_NOT_FOR_INPUT = frozenset({"redacted"})
# A response is never sanitised or refused; it can be too long for --max-chars.
_NOT_FOR_OUTPUT = frozenset({"sanitised", "refused"})

#: What ``--fail-on`` can name, in the order the gate reports them.
GATE_CATEGORIES = ("detection", "error", "timeout", "over-capacity", "module-error", "last-resort", "too-long")
#: The gate category of each event that means a text passed unscanned: the
#: library's unscanned events (norv.vocabulary) and the last-resort line.
_EVENT_CATEGORY = {TIMEOUT: "timeout", ADMISSION_TIMEOUT: "over-capacity", INTERNAL_MODULE_ERROR: "module-error",
                   LAST_RESORT: "last-resort"}
#: What passed without a scan: the events above, and prompts too long to score
#: (never scored, whether their guard stopped them or passed them on).
UNSCANNED_CATEGORIES = (*_EVENT_CATEGORY.values(), "too-long")
#: Categories under which a text passed without a scan, or a record was not screened at all.
UNSCREENED_CATEGORIES = frozenset({"error", *UNSCANNED_CATEGORIES})
_GATE_ALIASES = {"unscanned": UNSCANNED_CATEGORIES, "all": GATE_CATEGORIES}


def parse_fail_on(values: Iterable[str]) -> tuple[str, ...]:
    """Names given to ``--fail-on`` (comma-separated, repeatable) as gate categories; ValueError names a bad one."""
    chosen: set[str] = set()
    for value in values:
        for name in value.split(","):
            name = name.strip().lower().replace("_", "-")
            if not name:
                continue
            if name in _GATE_ALIASES:
                chosen.update(_GATE_ALIASES[name])
            elif name in GATE_CATEGORIES:
                chosen.add(name)
            else:
                known = ", ".join(GATE_CATEGORIES + tuple(_GATE_ALIASES))
                raise ValueError(f"unknown category {name!r} (choose from {known})")
    return tuple(category for category in GATE_CATEGORIES if category in chosen)


class Histogram:
    """Latencies in log-scaled buckets: fixed memory, percentiles within 1%.

    Bucket ``i`` holds values in ``[LOW * G**i, LOW * G**(i+1))`` and stands for
    ``2 * LOW * G**(i+1) / (1 + G)``, at most ``(G - 1) / (G + 1)`` (0.99%) from any
    value in it. Values below ``LOW`` (0.1 µs) share bucket 0 and values above
    about three hours the last one; the exact minimum and maximum are kept, and
    an estimate is never reported outside them.
    """

    LOW = 1e-7
    G = 1.02
    SIZE = 1400
    _SCALE = 1.0 / math.log(G)

    __slots__ = ("count", "counts", "high", "low")

    def __init__(self) -> None:
        self.counts = [0] * self.SIZE
        self.count = 0
        self.low = math.inf
        self.high = 0.0

    def add(self, value: float) -> None:
        index = int(math.log(value / self.LOW) * self._SCALE) if value > self.LOW else 0
        self.counts[index if index < self.SIZE else self.SIZE - 1] += 1
        self.count += 1
        if value > self.high:
            self.high = value
        if value < self.low:
            self.low = value

    def merge(self, other: Histogram) -> None:
        counts = self.counts
        for index, count in enumerate(other.counts):
            if count:
                counts[index] += count
        self.count += other.count
        self.high = max(self.high, other.high)
        self.low = min(self.low, other.low)

    def percentile(self, pct: float) -> float:
        """Nearest-rank percentile (0.0 when empty)."""
        if not self.count:
            return 0.0
        rank = min(max(1, math.ceil(pct / 100.0 * self.count)), self.count)
        if rank == self.count:
            return self.high
        seen = 0
        for index, count in enumerate(self.counts):
            seen += count
            if seen >= rank:
                estimate = 2.0 * self.LOW * self.G ** (index + 1) / (1.0 + self.G)
                return min(max(estimate, self.low), self.high)
        return self.high  # pragma: no cover - the counts add up to count


class Stats:
    """Everything the summary shows, filled in as records go by. Fixed size whatever the run's length."""

    def __init__(self) -> None:
        self.records = 0  # every item read, good or bad
        self.errors: dict[str, int] = {}
        self.input_verdicts: dict[str, int] = dict.fromkeys(VERDICTS, 0)
        self.output_verdicts: dict[str, int] = dict.fromkeys(VERDICTS, 0)
        self.events: dict[tuple[str, str], int] = {}
        #: Texts that passed at least one step without a scan.
        self.unscanned = 0
        #: Prompts some guard left unscored for their length; those of them passed on
        #: unscanned; and the THREAT_DETECTED events of guards that returned their
        #: too-long message (no detections).
        self.too_long = 0
        self.too_long_unscanned = 0
        self.too_long_events = 0
        self.latency_in = Histogram()
        self.latency_out = Histogram()
        self.latency = {"process_input": self.latency_in, "process_output": self.latency_out}
        self.started = time.monotonic()
        self.elapsed = 0.0

    def add(self, result_in: CallResult | None, result_out: CallResult | None) -> None:
        """Count one screened record's calls (None for a side it did not have)."""
        if result_in is not None:
            self.input_verdicts[result_in.verdict] += 1
            self.latency_in.add(result_in.seconds)
            if result_in.events:
                self.count_events(result_in.events)
            if result_in.too_long:
                self.count_too_long(result_in)
        if result_out is not None:
            self.output_verdicts[result_out.verdict] += 1
            self.latency_out.add(result_out.seconds)
            if result_out.events:
                self.count_events(result_out.events)
            if result_out.too_long:  # over --max-chars
                self.count_too_long(result_out)

    def count_events(self, events: tuple[dict[str, Any], ...]) -> None:
        """Count one call's events (and the call as unscanned when one of them says so)."""
        unscanned = False
        counts = self.events
        for event in events:
            name = event["event"]
            if name in _EVENT_CATEGORY:
                unscanned = True
            key = (name, str(event.get("module", "-")))
            counts[key] = counts.get(key, 0) + 1
        if unscanned:
            self.unscanned += 1

    def count_too_long(self, result: CallResult) -> None:
        """Count a call that some guard left unscored for its length (after its events)."""
        self.too_long += 1
        self.too_long_events += sum(1 for event in result.events
                                    if event["event"] == THREAT_DETECTED and event.get("module") in result.too_long)
        if result.unscanned:
            self.too_long_unscanned += 1
            if not any(event["event"] in _EVENT_CATEGORY for event in result.events):
                self.unscanned += 1  # not counted by its events

    def add_error(self, kind: str) -> None:
        self.errors[kind] = self.errors.get(kind, 0) + 1

    def merge(self, other: Stats) -> None:
        self.records += other.records
        for kind, count in other.errors.items():
            self.errors[kind] = self.errors.get(kind, 0) + count
        pairs = ((self.input_verdicts, other.input_verdicts), (self.output_verdicts, other.output_verdicts))
        for mine, theirs in pairs:
            for verdict, count in theirs.items():
                mine[verdict] = mine.get(verdict, 0) + count
        for key, count in other.events.items():
            self.events[key] = self.events.get(key, 0) + count
        self.unscanned += other.unscanned
        self.too_long += other.too_long
        self.too_long_unscanned += other.too_long_unscanned
        self.too_long_events += other.too_long_events
        for call, histogram in other.latency.items():
            self.latency[call].merge(histogram)

    def event_total(self, name: str) -> int:
        return sum(count for (event, _), count in self.events.items() if event == name)

    @property
    def error_count(self) -> int:
        return sum(self.errors.values())

    def gate_counts(self) -> dict[str, int]:
        """How often each gate category occurred."""
        detections = self.event_total(THREAT_DETECTED) - self.too_long_events
        flagged = self.input_verdicts["refused"] + self.input_verdicts["sanitised"] + self.output_verdicts["redacted"]
        return {
            # Audit-mode detections pass unchanged and count by their events.
            "detection": max(detections, flagged),
            "error": self.error_count,
            **{category: self.event_total(event) for event, category in _EVENT_CATEGORY.items()},
            "too-long": self.too_long,
        }


def _table(rows: list[list[str]]) -> list[str]:
    widths = [max(len(row[col]) for row in rows) for col in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0])]
        cells += [cell.rjust(width) for cell, width in zip(row[1:], widths[1:], strict=True)]
        lines.append("  ".join(cells).rstrip())
    return lines


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def unscanned_line(stats: Stats) -> str | None:
    """The warning that some text passed without a scan, or None."""
    if not stats.unscanned:
        return None
    counts = stats.gate_counts()
    counts["too-long"] = stats.too_long_unscanned  # only those passed on, not those stopped
    causes = [f"{name} {counts[name]}" for name in UNSCANNED_CATEGORIES if counts[name]]
    return (f"WARNING: {plural(stats.unscanned, 'text')} passed UNSCANNED ({', '.join(causes)}): "
            "not every module looked at them (--fail-on unscanned fails the run on this)")


def render_summary(stats: Stats, settings: str, *, status_line: str | None = None,
                   notes: Sequence[str] = (), stopped: str | None = None) -> str:
    bad = stats.error_count
    head = (f"norv screen: {plural(stats.records, 'record')} in {stats.elapsed:.2f} s"
            f" ({stats.records - bad} screened, {bad} with errors)")
    if stopped:
        head += f", {stopped}"
    out = [head, settings]
    warning = unscanned_line(stats)
    if warning:
        out += ["", warning]
    if stats.records and bad == stats.records:
        out += ["", "WARNING: every record was an error: nothing was screened"]
    out.append("")

    columns = [v for v in VERDICTS if v in SUMMARY_VERDICTS or stats.input_verdicts[v] or stats.output_verdicts[v]]
    rows = [["verdicts", *columns]]
    rows.append(["input", *("-" if v in _NOT_FOR_INPUT else str(stats.input_verdicts[v]) for v in columns)])
    rows.append(["output", *("-" if v in _NOT_FOR_OUTPUT else str(stats.output_verdicts[v]) for v in columns)])
    out += _table(rows)

    if bad:
        detail = ", ".join(f"{kind} {count}" for kind, count in sorted(stats.errors.items()))
        out += ["", f"errors: {bad} ({detail})"]

    events = stats.events
    modules = list(STANDARD_MODULES) + sorted({m for e, m in events if e != LAST_RESORT} - set(STANDARD_MODULES))
    names = list(STANDARD_EVENTS) + sorted({e for e, _ in events if e != LAST_RESORT} - set(STANDARD_EVENTS))
    event_rows = [["audit events", *modules, "total"]]
    for name in names:
        counts = [events.get((name, module), 0) for module in modules]
        event_rows.append([name, *map(str, counts), str(sum(counts))])
    out += ["", *_table(event_rows)]
    if stats.too_long_events:
        count = stats.too_long_events
        out.append(f"THREAT_DETECTED includes {plural(count, 'too-long message')}: a guard's answer to a prompt "
                   f"too long to screen, {'not a detection' if count == 1 else 'not detections'}")
    last_resort = stats.event_total(LAST_RESORT)
    if last_resort:
        out.append(f"last-resort failures (NORV CRITICAL FAILURE lines): {last_resort}")

    latency_rows = [["latency (ms)", "calls", "p50", "p95", "p99", "max"]]
    for call, histogram in stats.latency.items():
        cells = [histogram.percentile(p) for p in (50, 95, 99)] + [histogram.high]
        latency_rows.append([call, str(histogram.count), *(f"{value * 1000:.3f}" for value in cells)])
    out += ["", *_table(latency_rows)]
    if notes:
        out += ["", *list(notes)]
    if warning and status_line is None:
        out += ["", warning]
    if status_line:
        out += ["", status_line]
    return "\n".join(out) + "\n"


class Progress:
    """A progress bar on standard error when it is a terminal (tqdm draws it).

    Size known (a file): percentage of bytes read, ETA, records and records/s;
    standard input: records, records/s and elapsed time. Nothing is drawn during
    the first half second, so short runs stay clean, nor when tqdm is missing.
    """

    def __init__(self, stream: TextIO | None, total_bytes: int | None, *, enabled: bool = True,
                 delay: float = 0.5) -> None:
        isatty = getattr(stream, "isatty", None)
        self.bar: Any = None
        self._stream = stream
        if not (enabled and stream is not None and isatty is not None and isatty()):
            return
        try:
            import tqdm as tqdm_module
        except ImportError:
            return
        # No monitor thread: forked --jobs workers must not inherit a running thread's locks.
        tqdm_module.tqdm.monitor_interval = 0
        self._records = 0
        self._bytes = 0
        self._next = 0.0
        if total_bytes:
            self.bar = tqdm_module.tqdm(
                total=total_bytes, file=stream, delay=delay, mininterval=0, dynamic_ncols=True,
                bar_format="{percentage:3.0f}%|{bar}| {desc} [{elapsed}<{remaining}]", desc="0 records",
            )
        else:
            self.bar = tqdm_module.tqdm(
                total=None, file=stream, delay=delay, mininterval=0, unit=" records", dynamic_ncols=True,
            )
        self._sized = bool(total_bytes)
        self._start = time.monotonic()

    @property
    def active(self) -> bool:
        return self.bar is not None

    def update(self, records: int, total_bytes: int) -> None:
        """Called with running totals; redraws at most ten times a second."""
        bar = self.bar
        now = time.monotonic()
        if bar is None or now < self._next:
            return
        self._next = now + 0.1
        if self._sized:
            rate = records / max(now - self._start, 1e-9)
            bar.set_description_str(f"{records:,} records, {rate:,.0f}/s", refresh=False)
            bar.update(total_bytes - self._bytes)
            self._bytes = total_bytes
        else:
            bar.update(records - self._records)
        self._records = records

    def write_above(self, stream: TextIO, text: str) -> None:
        """Write ``text`` to a stream that shares the terminal, the bar redrawn below it."""
        if self.bar is None:
            stream.write(text)
            stream.flush()
            return
        with self.bar.external_write_mode(file=self._stream):
            stream.write(text)
            stream.flush()

    def finish(self) -> None:
        if self.bar is not None:
            self.bar.leave = False
            self.bar.close()
            self.bar = None
