"""How a `norv screen` run ends: its state as it goes, its exit status, its summary for people and for CI."""

from __future__ import annotations

import signal
import threading
import time
from json import dumps
from typing import Any, NamedTuple, TextIO

from norv import vocabulary
from norv.cli.errors import WriteFailed
from norv.cli.report import UNSCREENED_CATEGORIES, Stats, plural, render_summary
from norv.cli.settings import Settings

__all__ = ["EXIT", "Outcome", "RunState", "finish", "summary_data"]

#: Exit statuses (norv.vocabulary's), and those of the signals that end a run.
EXIT: dict[str | int, int] = dict(vocabulary.EXIT.items())
EXIT.update({signal.SIGINT: vocabulary.EXIT["sigint"], signal.SIGTERM: vocabulary.EXIT["sigterm"]})


class Outcome(NamedTuple):
    status: int
    #: True when a scan may still be running on a worker (time-out, interrupt, abort).
    abandoned_scans: bool = False



class RunState:
    """What ended the run, for its exit status and its last line."""

    def __init__(self) -> None:
        self.stats = Stats()
        self.write_failure: str | None = None
        self.abort: str | None = None
        self.interrupted: int | None = None
        self.notes: list[str] = []
        #: --summary-json's file, opened before the run started.
        self.summary_file: Any = None
        #: The thread that reads the input, once there is one.
        self.reader: threading.Thread | None = None


def finish(settings: Settings, state: RunState, stderr: TextIO, fmt: str) -> int:
    """Write the summary and the verdict of the gate; return the exit status."""
    stats = state.stats
    stats.elapsed = time.monotonic() - stats.started
    counts = stats.gate_counts()
    failing = [category for category in settings.fail_on if counts[category]]
    all_errors = stats.records > 0 and stats.error_count == stats.records
    stopped = None
    line: str | None
    if state.interrupted is not None:
        stopped = "interrupted"
        name = "SIGTERM" if state.interrupted == signal.SIGTERM else "interrupt (SIGINT)"
        status = EXIT[state.interrupted]
        line = f"norv screen: stopped by {name} after {plural(stats.records, 'record')} (exit status {status})"
    elif state.abort is not None:
        stopped = "stopped by a guard"
        status = EXIT["guard"]
        line = f"norv screen: error: {state.abort}; the run stopped (exit status {status})"
    elif state.write_failure is not None:
        stopped = "stopped: a write failed"
        status = EXIT["write"]
        line = f"norv screen: error: {state.write_failure}; the run stopped (exit status {status})"
    elif all_errors:
        status = EXIT["unscreened"]
        line = f"norv screen: FAILED: every record was an error, nothing was screened (exit status {status})"
        if fmt == "jsonl" and set(stats.errors) == {"malformed_json"}:
            line = line + "; if the input is plain text, one prompt a line, use --format text"
    elif failing:
        status = EXIT["unscreened"] if UNSCREENED_CATEGORIES.intersection(failing) else EXIT["detection"]
        found = ", ".join(f"{category} {counts[category]}" for category in failing)
        line = (f"norv screen: FAILED the gate (--fail-on {','.join(settings.fail_on)}): {found} "
                f"(exit status {status})")
    else:
        status = EXIT["ok"]
        line = f"norv screen: passed the gate (--fail-on {','.join(settings.fail_on)})" if settings.fail_on else None
    if state.summary_file is not None:
        data = summary_data(stats, settings, status=status, stopped=stopped, message=line, counts=counts,
                            failing=failing)
        try:
            view = memoryview((dumps(data, ensure_ascii=False, allow_nan=False) + "\n").encode("utf-8"))
            while view:
                view = view[state.summary_file.write(view):]
        except (OSError, ValueError) as exc:
            if status in (EXIT["ok"], EXIT["detection"], EXIT["unscreened"]):
                status = EXIT["write"]
                line = (f"norv screen: error: {WriteFailed(f'the summary to {settings.summary_json!r}', exc)}; "
                        f"the run stopped (exit status {status})")
    try:
        stderr.write(render_summary(stats, settings.describe(), status_line=line, notes=state.notes,
                                    stopped=stopped))
        stderr.flush()
    except (OSError, ValueError):
        pass
    return status


def summary_data(stats: Stats, settings: Settings, *, status: int, stopped: str | None, message: str | None,
                 counts: dict[str, int], failing: list[str]) -> dict[str, Any]:
    """The summary for machines (``--summary-json``): the figures the text summary shows."""
    guards = settings.guards
    latency = {}
    for call, histogram in stats.latency.items():
        latency[call] = {"calls": histogram.count,
                         **{f"p{pct}": round(histogram.percentile(pct) * 1000, 6) for pct in (50, 95, 99)},
                         "max": round(histogram.high * 1000, 6)}
    return {
        "status": status,
        "stopped": stopped,
        "message": message,
        "records": stats.records,
        "screened": stats.records - stats.error_count,
        "errors": dict(sorted(stats.errors.items())),
        "input": {verdict: count for verdict, count in stats.input_verdicts.items() if count},
        "output": {verdict: count for verdict, count in stats.output_verdicts.items() if count},
        "events": [{"event": event, "module": module, "count": count}
                   for (event, module), count in sorted(stats.events.items())],
        "unscanned": stats.unscanned,
        "too_long": stats.too_long,
        "gate": {"fail_on": list(settings.fail_on), "failing": failing, "counts": counts},
        "latency_ms": latency,
        "elapsed_seconds": round(stats.elapsed, 6),
        "settings": {"timeout_ms": guards.timeout_ms, "audit_mode": guards.audit_mode, "jobs": settings.jobs,
                     "max_chars": guards.max_chars, "max_line_bytes": settings.max_line_bytes,
                     "input_guard": guards.input_guard, "neural_guard": guards.neural_guard,
                     "output_shield": guards.output_shield},
    }
