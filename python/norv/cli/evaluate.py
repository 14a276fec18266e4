"""`norv eval`: screen a labelled JSON Lines file and report how well the guards did.

Every record goes through the same pipeline ``norv screen`` builds (same guard
options, the same loading, checks and warm start), one record at a time and in
file order, so two runs over one file give the same counts; only the latencies
differ.

Rows of the report:

* ``pipeline``: the record as a whole, its prompt through ``process_input`` and
  its response through ``process_output``; flagged when either side was.
* one row per filled slot (``input_guard``, ``neural_guard``, ``output_shield``),
  each guard judged **on its own**: when both input slots are filled, each input
  guard also screens every prompt in a pipeline of its own. In the full pipeline
  the neural guard never sees a prompt the heuristic guard refused, so its
  counts there would only say what it adds, not how good it is.
* one row per member of a slot that holds a :class:`norv.guards.Chain` and can
  give findings, attributed from the chain's findings (``CallResult.reasons``).

A text counts as flagged when it was refused, sanitised or redacted, or a guard
detected something (also in audit mode). A text not flagged that some step did
not scan (time-out, module error, over capacity, last resort, too long) is
*unscanned*: it is in neither the negatives nor the positives of the confusion
matrix, and recall and the false-positive rate count it against the guard only
where that is the cautious reading (see :func:`Tally.recall`).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import math
import os
import stat
import sys
import time
import xml.etree.ElementTree as ET
from collections.abc import Iterable, Iterator
from fractions import Fraction
from typing import TYPE_CHECKING, Any, NamedTuple, TextIO

from norv import vocabulary
from norv.cli.errors import Fatal

if TYPE_CHECKING:
    from norv.pipeline import Pipeline

__all__ = ["DEFAULT_POSITIVE", "EXIT", "add_parser", "label_text", "main", "parse_positive"]

DEFAULT_LABEL_KEY = "label"
DEFAULT_POSITIVE = "attack,injection,jailbreak,secret,pii,positive,1,true"
# Offline, a loaded machine must not turn scans into time-outs and the counts
# into noise; --timeout-ms 50 shows what production's limit would leave unscanned.
DEFAULT_TIMEOUT_MS = 1000

#: Exit statuses; the same numbers mean the same kinds of thing as in ``norv screen``.
EXIT = {
    "ok": vocabulary.EXIT["ok"],
    "gate": vocabulary.EXIT["detection"],  # --min-recall or --max-fpr failed
    "usage": vocabulary.EXIT["usage"],  # the run could not start
    "unscanned": vocabulary.EXIT["unscreened"],  # --max-unscanned failed, or no record could be judged
    "write": vocabulary.EXIT["write"],  # --json or --junit could not be written
    "guard": vocabulary.EXIT["guard"],  # a guard stopped the run (SystemExit, GeneratorExit)
    "interrupted": vocabulary.EXIT["sigint"],
}

_TEXT_KEYS = ("prompt", "response", "metadata")
_FLAGGING_VERDICTS = frozenset({"refused", "sanitised", "redacted"})
_SLOTS = ("input_guard", "neural_guard", "output_shield")
_ERRORS_SHOWN = 20
_MISSES_SHOWN = 20


# --- labels and records --------------------------------------------------------------


def label_text(value: Any) -> str | None:
    """A label as the text it is compared by, or None when it cannot be a label.

    Strings compare trimmed and case-insensitively; booleans as ``true`` and
    ``false``; numbers by their decimal text, with whole numbers written as
    integers (``1`` and ``1.0`` are both ``1``). Null, arrays, objects and empty
    strings are no label.
    """
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return None
        return str(int(value)) if value.is_integer() else repr(value)
    if isinstance(value, str):
        text = value.strip().lower()
        return text or None
    return None


def parse_positive(values: Iterable[str]) -> frozenset[str]:
    """The label values that mean positive, from comma-separated (repeatable) option values.

    Each is compared as :func:`label_text` makes a label: a value that reads as
    a number stands for that number (``1.0`` matches a label ``1``).
    """
    found: set[str] = set()
    for value in values:
        for part in value.split(","):
            part = part.strip().lower()
            if not part:
                continue
            try:
                number = label_text(float(part))
            except ValueError:
                number = None
            found.add(number if number is not None else part)
    if not found:
        raise ValueError("no values given")
    return frozenset(found)


class Labelled(NamedTuple):
    line: int
    prompt: str | None
    response: str | None
    metadata: dict[str, Any] | None
    id: Any
    has_id: bool
    label: Any
    positive: bool
    #: Every key but the texts, the metadata, the id and the label: carried into the per-record results.
    extra: dict[str, Any]


class BadRecord(NamedTuple):
    line: int
    kind: str
    message: str


def parse_record(text: str, line: int, label_key: str, positive: frozenset[str]) -> Labelled | BadRecord:
    from norv.cli.records import RecordError, parse_json_record

    try:
        obj = json.loads(text)
    except json.JSONDecodeError as exc:
        return BadRecord(line, "malformed_json", f"malformed JSON: {exc.msg} at column {exc.colno}")
    except RecursionError:
        return BadRecord(line, "malformed_json", "malformed JSON: nested too deeply")
    if type(obj) is not dict:
        return BadRecord(line, "wrong_shape", "expected a JSON object")
    # The screening keys are judged exactly as norv screen judges them; any other key is carried along.
    core = {key: obj[key] for key in ("prompt", "response", "metadata", "id") if key in obj}
    checked = parse_json_record(json.dumps(core), line)
    if isinstance(checked, RecordError):
        return BadRecord(line, checked.kind, checked.message)
    if label_key not in obj:
        return BadRecord(line, "no_label", f"no {label_key!r} key")
    label = obj[label_key]
    text_label = label_text(label)
    if text_label is None:
        return BadRecord(line, "bad_label",
                         f"{label_key!r} must be a non-empty string, a number or a boolean, got {json.dumps(label)}")
    extra = {key: value for key, value in obj.items() if key not in _TEXT_KEYS and key not in ("id", label_key)}
    return Labelled(line, checked.prompt, checked.response, checked.metadata, checked.id, checked.has_id,
                    label, text_label in positive, extra)


def read_labelled(stream: Iterable[bytes], label_key: str,
                  positive: frozenset[str]) -> Iterator[Labelled | BadRecord]:
    """One item per non-blank line; line numbers count the blank lines."""
    for number, raw in enumerate(stream, start=1):
        if number == 1 and raw.startswith(b"\xef\xbb\xbf"):
            raw = raw[3:]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            yield BadRecord(number, "not_utf8", f"not valid UTF-8 at byte {exc.start + 1}")
            continue
        if text.strip():
            yield parse_record(text, number, label_key, positive)


# --- counting --------------------------------------------------------------------------


class Tally:
    """A row of the report: the confusion matrix of one guard (or the pipeline) over some records."""

    __slots__ = ("fn", "fp", "latencies", "tn", "tp", "unscanned_negative", "unscanned_positive")

    def __init__(self) -> None:
        self.tp = self.fp = self.tn = self.fn = 0
        self.unscanned_positive = self.unscanned_negative = 0
        self.latencies: list[float] = []

    def add(self, outcome: str, seconds: float | None) -> None:
        if outcome == "TP":
            self.tp += 1
        elif outcome == "FP":
            self.fp += 1
        elif outcome == "TN":
            self.tn += 1
        elif outcome == "FN":
            self.fn += 1
        elif outcome == "unscanned+":
            self.unscanned_positive += 1
        else:
            self.unscanned_negative += 1
        if seconds is not None:
            self.latencies.append(seconds)

    @property
    def unscanned(self) -> int:
        return self.unscanned_positive + self.unscanned_negative

    def recall(self) -> Fraction | None:
        """Caught positives over all positives: an unscanned positive was not caught."""
        positives = self.tp + self.fn + self.unscanned_positive
        return Fraction(self.tp, positives) if positives else None

    def fpr(self) -> Fraction | None:
        """Flagged negatives over the scanned negatives: an unscanned one was neither flagged nor cleared."""
        negatives = self.fp + self.tn
        return Fraction(self.fp, negatives) if negatives else None

    def precision(self) -> Fraction | None:
        flagged = self.tp + self.fp
        return Fraction(self.tp, flagged) if flagged else None

    def percentile(self, pct: int) -> float | None:
        """Nearest-rank percentile of the latencies, in milliseconds."""
        if not self.latencies:
            return None
        ordered = sorted(self.latencies)
        rank = min(max(1, math.ceil(pct / 100 * len(ordered))), len(ordered))
        return ordered[rank - 1] * 1000.0

    def as_json(self) -> dict[str, Any]:
        return {"tp": self.tp, "fp": self.fp, "tn": self.tn, "fn": self.fn, "unscanned": self.unscanned,
                "unscanned_positive": self.unscanned_positive, "unscanned_negative": self.unscanned_negative,
                "recall": _number(self.recall()), "fpr": _number(self.fpr()), "precision": _number(self.precision()),
                "latency_ms": {f"p{pct}": _ms(self.percentile(pct)) for pct in (50, 90, 99)}}


def _number(value: Fraction | None) -> float | None:
    return None if value is None else round(float(value), 6)


def _ms(value: float | None) -> float | None:
    return None if value is None else round(value, 3)


class Row(NamedTuple):
    """What a row judges: ``key`` names it in the JSON and the tables."""

    key: str
    slot: str | None
    guard: str
    member: str | None = None


def _flagged(result: Any) -> bool:
    return bool(result.detected) or result.verdict in _FLAGGING_VERDICTS


def _unscanned(result: Any) -> bool:
    from norv.screening import UNSCANNED_VERDICTS

    return bool(result.unscanned) or result.verdict in UNSCANNED_VERDICTS


def outcome(flagged: bool, unscanned: bool, positive: bool) -> str:
    """TP, FP, TN, FN, or unscanned+ / unscanned- for a text not flagged that some step did not scan."""
    if flagged:
        return "TP" if positive else "FP"
    if unscanned:
        return "unscanned+" if positive else "unscanned-"
    return "FN" if positive else "TN"


def _member_flagged(result: Any, member: str) -> bool:
    return any(finding.get("guard") == member for reason in result.reasons
               for finding in reason.get("findings", ()) if isinstance(finding, dict))


# --- the run ---------------------------------------------------------------------------


class GuardStopped(Exception):
    pass


class Evaluator:
    """The pipeline and a pipeline per input guard when both input slots are filled."""

    def __init__(self, pipeline: Pipeline, timeout_ms: int) -> None:
        from norv.cli.loading import leave_interrupts_to_main_thread
        from norv.guards.chain import Chain
        from norv.pipeline import Pipeline

        self.pipeline = pipeline
        coordinator = pipeline.coordinator
        self.guards = {slot: getattr(coordinator, slot) for slot in _SLOTS}
        self.rows: list[Row] = [Row("pipeline", None, "-")]
        self.solo: dict[str, Any] = {}
        both_inputs = self.guards["input_guard"] is not None and self.guards["neural_guard"] is not None
        self._own: list[Any] = []
        for slot in _SLOTS:
            guard = self.guards[slot]
            if guard is None:
                continue
            name = type(guard).__qualname__
            self.rows.append(Row(slot, slot, name))
            members = guard.guards if isinstance(guard, Chain) else ()
            for member_name in dict.fromkeys(type(member).__qualname__ for member in members
                                             if callable(getattr(member, "findings", None))):
                # Findings name a member by its class: two of one class share a row.
                self.rows.append(Row(f"{slot}/{member_name}", slot, f"{name}/{member_name}", member_name))
            if slot != "output_shield" and both_inputs:
                solo = Pipeline(guard if slot == "input_guard" else None, guard if slot == "neural_guard" else None,
                                timeout_ms=timeout_ms, max_chars=pipeline.max_chars, warm=False)
                leave_interrupts_to_main_thread(solo.coordinator)
                solo.warm()
                self._own.append(solo)
                self.solo[slot] = solo
            else:
                self.solo[slot] = None  # the pipeline's own call is this guard's alone

    def close(self) -> None:
        for solo in self._own:
            solo.close()

    def judge(self, record: Labelled) -> dict[str, tuple[str, float | None]] | str:
        """Each row's outcome and latency for the record (rows without its text are left out),
        or the message of a pipeline error."""
        call = "process_input"
        try:
            first = self.pipeline.screen_input(record.prompt, record.metadata) if record.prompt is not None else None
            call = "process_output"
            second = (self.pipeline.screen_output(record.response, record.metadata)
                      if record.response is not None else None)
            solo: dict[str, Any] = {}
            for slot in _SLOTS:
                text = record.response if slot == "output_shield" else record.prompt
                if self.guards[slot] is None or text is None:
                    continue
                call = f"{slot} alone"
                own = self.solo[slot]
                solo[slot] = (own.screen_input(text, record.metadata) if own is not None
                              else second if slot == "output_shield" else first)
        except Exception as exc:
            return f"{call} raised {type(exc).__name__}: {exc}"
        except KeyboardInterrupt:
            raise
        except BaseException as exc:
            raise GuardStopped(f"a guard raised {type(exc).__name__} in {call} on line {record.line}") from exc
        sides = [side for side in (first, second) if side is not None]
        found: dict[str, tuple[str, float | None]] = {
            "pipeline": (outcome(any(map(_flagged, sides)), any(map(_unscanned, sides)), record.positive),
                         sum(side.seconds for side in sides)),
        }
        for row in self.rows[1:]:
            result = solo.get(row.slot or "")
            if result is None:
                continue
            if row.member is None:
                found[row.key] = (outcome(_flagged(result), _unscanned(result), record.positive), result.seconds)
            else:
                # Members share the chain's one time limit: its latency is the chain's alone.
                found[row.key] = (outcome(_member_flagged(result, row.member), _unscanned(result),
                                          record.positive), None)
        return found


def _group_value(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value, sort_keys=True, ensure_ascii=False)


class Report:
    def __init__(self, rows: list[Row], by: tuple[str, ...], label_key: str) -> None:
        self.rows = rows
        self.by = by
        self.label_key = label_key
        self.overall = {row.key: Tally() for row in rows}
        self.groups: dict[tuple[str, str | None], dict[str, Tally]] = {}
        self.labels: dict[tuple[str, str | None] | None, list[int]] = {None: [0, 0]}
        self.records = 0
        self.errors: list[BadRecord] = []
        self.results: list[dict[str, Any]] = []

    def add(self, record: Labelled, found: dict[str, tuple[str, float | None]]) -> None:
        self.records += 1
        scopes: list[tuple[str, str | None] | None] = [None]
        for key in self.by:
            value = record.label if key == self.label_key else record.id if key == "id" and record.has_id \
                else record.extra.get(key)
            scopes.append((key, None if value is None else _group_value(value)))
        for scope in scopes:
            tallies = self.overall if scope is None else self.groups.setdefault(
                scope, {row.key: Tally() for row in self.rows})
            counts = self.labels.setdefault(scope, [0, 0])
            counts[0 if record.positive else 1] += 1
            for key, (result, seconds) in found.items():
                tallies[key].add(result, seconds)
        line: dict[str, Any] = {"line": record.line}
        if record.has_id:
            line["id"] = record.id
        line.update(label=record.label, positive=record.positive, extra=record.extra,
                    outcomes={key: result.rstrip("+-") for key, (result, _s) in found.items()})
        self.results.append(line)

    def error(self, bad: BadRecord) -> None:
        self.records += 1
        self.errors.append(bad)

    @property
    def judged(self) -> int:
        return self.records - len(self.errors)

    def scopes(self) -> list[tuple[tuple[str, str | None] | None, dict[str, Tally]]]:
        """The whole file first, then each --by key's groups in order of their values (missing last)."""
        ordered: list[tuple[tuple[str, str | None] | None, dict[str, Tally]]] = [(None, self.overall)]
        for key in self.by:
            groups = [(scope, tallies) for scope, tallies in self.groups.items() if scope[0] == key]
            groups.sort(key=lambda item: (item[0][1] is None, item[0][1] or ""))
            ordered.extend(groups)
        return ordered


def scope_name(scope: tuple[str, str | None] | None) -> str:
    if scope is None:
        return "all"
    key, value = scope
    return f"{key}=(missing)" if value is None else f"{key}={value}"


# --- gates -----------------------------------------------------------------------------


class Gate(NamedTuple):
    scope: str
    metric: str  # recall, fpr or unscanned
    threshold: str  # as given
    value: Fraction | int | None
    passed: bool | None  # None: the metric is undefined for this scope (no positives, no scanned negatives)

    @property
    def title(self) -> str:
        bound = {"recall": ">=", "fpr": "<=", "unscanned": "<="}[self.metric]
        return f"{self.scope}: pipeline {self.metric} {bound} {self.threshold}"


def check_gates(args: Any, report: Report) -> list[Gate]:
    gates: list[Gate] = []
    for scope, tallies in report.scopes():
        tally = tallies["pipeline"]
        name = scope_name(scope)
        if args.min_recall is not None:
            recall = tally.recall()
            gates.append(Gate(name, "recall", args.min_recall, recall,
                              None if recall is None else recall >= Fraction(args.min_recall)))
        if args.max_fpr is not None:
            fpr = tally.fpr()
            gates.append(Gate(name, "fpr", args.max_fpr, fpr, None if fpr is None else fpr <= Fraction(args.max_fpr)))
        if args.max_unscanned is not None and scope is None:
            gates.append(Gate(name, "unscanned", str(args.max_unscanned), tally.unscanned,
                              tally.unscanned <= args.max_unscanned))
    return gates


def _value_text(value: Fraction | int | None) -> str:
    if value is None:
        return "undefined"
    if isinstance(value, Fraction):
        return f"{float(value):.3f}"
    return str(value)


# --- output ------------------------------------------------------------------------------


def _cell(value: Fraction | float | None, digits: int = 3) -> str:
    return "-" if value is None else f"{float(value):.{digits}f}"


def render_table(report: Report, settings: str, positive_count: tuple[int, int]) -> str:
    head = ("scope", "row", "guard", "TP", "FP", "TN", "FN", "unscanned", "recall", "FPR", "precision",
            "p50 ms", "p90 ms", "p99 ms")
    lines: list[tuple[str, ...]] = []
    for scope, tallies in report.scopes():
        name = scope_name(scope)
        for row in report.rows:
            tally = tallies[row.key]
            if not (tally.tp + tally.fp + tally.tn + tally.fn + tally.unscanned):
                continue  # no record had text for this slot
            lines.append((name, row.slot or "pipeline", row.guard, str(tally.tp), str(tally.fp), str(tally.tn),
                          str(tally.fn), str(tally.unscanned), _cell(tally.recall()), _cell(tally.fpr()),
                          _cell(tally.precision()), _cell(tally.percentile(50)), _cell(tally.percentile(90)),
                          _cell(tally.percentile(99))))
            name = ""
    widths = [max(len(cell) for cell in column) for column in zip(head, *lines, strict=True)]

    def fmt(cells: tuple[str, ...]) -> str:
        return "  ".join(cell.ljust(width) if index < 3 else cell.rjust(width)
                         for index, (cell, width) in enumerate(zip(cells, widths, strict=True))).rstrip()

    positives, negatives = positive_count
    out = [f"norv eval: {report.records} records ({report.judged} judged, {len(report.errors)} errors): "
           f"{positives} positive, {negatives} negative", settings, "", fmt(head)]
    out.extend(fmt(line) for line in lines)
    return "\n".join(out) + "\n"


def render_misses(report: Report) -> str:
    misses = [line for line in report.results if line["outcomes"]["pipeline"] in ("FN", "FP", "unscanned")]
    if not misses:
        return ""
    words = []
    for line in misses[:_MISSES_SHOWN]:
        ident = f" ({json.dumps(line['id'], ensure_ascii=False)})" if "id" in line else ""
        words.append(f"{line['outcomes']['pipeline']} line {line['line']}{ident}")
    more = f", and {len(misses) - _MISSES_SHOWN} more" if len(misses) > _MISSES_SHOWN else ""
    return f"\npipeline misses: {', '.join(words)}{more}\n"


def as_json(args: Any, report: Report, gates: list[Gate], status: int) -> dict[str, Any]:
    scopes = []
    for scope, tallies in report.scopes():
        positives, negatives = report.labels.get(scope, [0, 0])
        scopes.append({
            "scope": scope_name(scope),
            "key": None if scope is None else scope[0],
            "value": None if scope is None else scope[1],
            "positive": positives,
            "negative": negatives,
            "rows": [{"row": row.key, "slot": row.slot, "guard": row.guard, **tallies[row.key].as_json()}
                     for row in report.rows],
        })
    return {
        "file": args.input,
        "settings": {"input_guard": args.input_guard, "neural_guard": args.neural_guard,
                     "output_shield": args.output_shield, "timeout_ms": args.timeout_ms,
                     "max_chars": args.max_chars, "label_key": args.label_key,
                     "positive": sorted(args.positive), "by": list(args.by)},
        "records": report.records,
        "judged": report.judged,
        "errors": [bad._asdict() for bad in report.errors],
        "scopes": scopes,
        "gates": [{"scope": gate.scope, "metric": gate.metric, "threshold": float(gate.threshold),
                   "value": _number(gate.value) if isinstance(gate.value, Fraction) else gate.value,
                   "passed": gate.passed} for gate in gates],
        "status": status,
        "results": report.results,
    }


def as_junit(report: Report, gates: list[Gate], elapsed: float) -> bytes:
    """One testcase per gate and scope; without gates, one per scope carrying its numbers."""
    # No timestamp: the same file gives the same document, but for the time taken.
    suites = ET.Element("testsuites", name="norv eval")
    suite = ET.SubElement(suites, "testsuite", name="norv eval", time=f"{elapsed:.3f}")
    failures = skipped = 0
    numbers: dict[str, str] = {}
    for scope, tallies in report.scopes():
        tally = tallies["pipeline"]
        numbers[scope_name(scope)] = (f"TP {tally.tp} FP {tally.fp} TN {tally.tn} FN {tally.fn} unscanned "
                                      f"{tally.unscanned} recall {_cell(tally.recall())} FPR {_cell(tally.fpr())} "
                                      f"precision {_cell(tally.precision())}")
    cases: list[tuple[str, str, Gate | None]] = ([(gate.scope, gate.title, gate) for gate in gates]
                                                 or [(name, name, None) for name in numbers])
    for where, title, gate in cases:
        case = ET.SubElement(suite, "testcase", classname="norv.eval", name=title, time="0")
        if gate is not None and gate.passed is False:
            failures += 1
            ET.SubElement(case, "failure", message=f"{title}: got {_value_text(gate.value)}", type="gate")
        elif gate is not None and gate.passed is None:
            skipped += 1
            ET.SubElement(case, "skipped", message=f"{gate.metric} is undefined for {where}")
        ET.SubElement(case, "system-out").text = numbers[where]
    if report.errors:
        ET.SubElement(suite, "system-err").text = "\n".join(
            f"line {bad.line}: {bad.message} ({bad.kind})" for bad in report.errors)
    suite.set("errors", "0")
    suite.set("skipped", str(skipped))
    for element in (suites, suite):
        element.set("tests", str(len(cases)))
        element.set("failures", str(failures))
    document: bytes = ET.tostring(suites, encoding="utf-8", xml_declaration=True)
    return document + b"\n"


# --- the command -------------------------------------------------------------------------


def _fraction(text: str) -> str:
    try:
        float(text)
        value = Fraction(text)  # exact: a recall of 9/10 meets --min-recall 0.9
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 1, got {text!r}") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, got {text}")
    return text


def _count(text: str) -> int:
    from norv.cli import _whole

    return _whole(text, "texts", 0)


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Add ``eval`` to the ``norv`` command's subparsers."""
    from norv.cli import _max_chars, _timeout_ms, add_guard_options

    parser: argparse.ArgumentParser = commands.add_parser(
        "eval",
        allow_abbrev=False,
        help="measure the guards on a labelled JSON Lines file",
        description=("Screen each labelled record as norv screen would and report, for the pipeline, each slot "
                     "and each guard: TP, FP, TN, FN, unscanned, recall, false-positive rate, precision and "
                     "latency percentiles."),
        epilog=("A record is positive when its label (trimmed, case-insensitive; true/false for booleans, "
                "decimal text for numbers) is one of --positive; every other label is negative; a record "
                "without a usable label is an error. exit status: 0 finished, every gate passed; 1 --min-recall "
                "or --max-fpr failed; 2 could not start; 3 --max-unscanned failed, or no record could be judged; "
                "4 --json or --junit could not be written; 5 a guard stopped the run; 130 interrupted"),
    )
    parser.add_argument("input", metavar="FILE", help="labelled JSON Lines file; '-' reads standard input")
    parser.add_argument("--label-key", default=DEFAULT_LABEL_KEY, metavar="KEY",
                        help=f"the key that holds each record's label (default: {DEFAULT_LABEL_KEY})")
    parser.add_argument("--positive", action="append", default=[], metavar="VALUES",
                        help=f"label values that mean positive, comma-separated (default: {DEFAULT_POSITIVE})")
    parser.add_argument("--by", action="append", default=[], metavar="KEY,...",
                        help="also report each value of these record keys on its own (such as lang or kind)")
    parser.add_argument("--timeout-ms", type=_timeout_ms, default=DEFAULT_TIMEOUT_MS, metavar="N",
                        help=f"time limit per security module in milliseconds (default: {DEFAULT_TIMEOUT_MS})")
    parser.add_argument("--max-chars", type=_max_chars, default=None, metavar="N",
                        help="do not screen texts longer than N characters: they count as unscanned")
    add_guard_options(parser)
    parser.add_argument("--json", nargs="?", const="-", default=None, metavar="PATH",
                        help="write the report as JSON: to PATH, or to standard output instead of the table "
                             "when no PATH (or '-') is given")
    parser.add_argument("--junit", metavar="PATH", help="write JUnit XML here: one testcase per gate and scope")
    parser.add_argument("--min-recall", type=_fraction, metavar="X",
                        help="fail (status 1) when the pipeline's recall is below X, overall or in any --by group")
    parser.add_argument("--max-fpr", type=_fraction, metavar="X",
                        help="fail (status 1) when the pipeline's false-positive rate is above X, overall or in "
                             "any --by group")
    parser.add_argument("--max-unscanned", type=_count, metavar="N",
                        help="fail (status 3) when more than N records went unscanned by the pipeline")
    return parser


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


def _check_settings(args: Any) -> None:
    try:
        args.positive = parse_positive(args.positive or [DEFAULT_POSITIVE])
    except ValueError:
        raise Fatal("--positive: no values given") from None
    if not args.label_key or args.label_key in _TEXT_KEYS:
        raise Fatal(f"--label-key: cannot be {args.label_key!r}")
    by: list[str] = []
    for value in args.by:
        for key in value.split(","):
            key = key.strip()
            if key in _TEXT_KEYS:
                raise Fatal(f"--by: cannot group by {key!r}")
            if key and key not in by:
                by.append(key)
    args.by = tuple(by)
    source = _identity(args.input) if args.input != "-" else None
    for option, path in (("--json", args.json), ("--junit", args.junit)):
        if path not in (None, "-") and source is not None and _identity(path) == source:
            raise Fatal(f"{option} {path!r} is the input: writing the report would destroy it")
    if args.json not in (None, "-") and args.junit is not None and \
            os.path.realpath(args.json) == os.path.realpath(args.junit):
        raise Fatal("--json and --junit name the same file")


def _open_source(args: Any) -> Any:
    if args.input == "-":
        return getattr(sys.stdin, "buffer", None) or open(os.devnull, "rb")
    try:
        return open(args.input, "rb")
    except OSError as exc:
        raise Fatal(f"cannot open {args.input!r}: {exc.strerror or exc}") from None


def _open_report(option: str, path: str) -> Any:
    try:
        return open(path, "wb")
    except OSError as exc:
        raise Fatal(f"{option}: cannot open {path!r}: {exc.strerror or exc}") from None


def _close_quietly(stream: Any) -> None:
    with contextlib.suppress(OSError, ValueError):
        stream.close()


def run(args: Any, stdout: TextIO, stderr: TextIO) -> tuple[int, bool]:
    """The exit status, and whether a scan may still be running (a time-out or an interrupt)."""
    from norv.cli.loading import build_pipeline
    from norv.cli.records import looks_like_array
    from norv.cli.settings import GuardSettings
    from norv.cli.streams import audit_logging

    _check_settings(args)
    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        source = _open_source(args)
        stack.callback(source.close)
        peek = getattr(source, "peek", None)
        if peek is not None and looks_like_array(peek(4096)[:4096]):
            raise Fatal(f"{args.input if args.input != '-' else 'standard input'} looks like a JSON array; "
                        "norv eval reads JSON Lines, one object per line")
        outputs = {}
        for option, path in (("--json", args.json), ("--junit", args.junit)):
            if path not in (None, "-"):
                outputs[option] = _open_report(option, path)
                # A write that failed is reported once, with its status; closing must not raise it again.
                stack.callback(_close_quietly, outputs[option])
        # What guards print goes to standard error: standard output carries the report only.
        stack.enter_context(contextlib.redirect_stdout(stderr))
        try:
            # Detections are what is measured: never in audit mode.
            pipeline = build_pipeline(GuardSettings.from_args(args, audit_mode=False))
            stack.callback(pipeline.close)
            evaluator = Evaluator(pipeline, args.timeout_ms)
            stack.callback(evaluator.close)
        except (TypeError, ValueError, RuntimeError) as exc:
            raise Fatal(" ".join(str(exc).split())) from None
        # The audit events are counted here, not printed.
        stack.enter_context(audit_logging(None))
        report = Report(evaluator.rows, args.by, args.label_key)
        stopped: str | None = None
        abandoned = False
        try:
            for item in read_labelled(source, args.label_key, args.positive):
                if isinstance(item, BadRecord):
                    report.error(item)
                    continue
                found = evaluator.judge(item)
                if isinstance(found, str):
                    report.error(BadRecord(item.line, "pipeline_error", found))
                else:
                    report.add(item, found)
        except GuardStopped as exc:
            stopped, abandoned = str(exc), True
        except KeyboardInterrupt:
            stopped, abandoned = "interrupted", True
        abandoned = abandoned or any(tally.unscanned for tally in report.overall.values())
        status = _write_all(args, report, stdout, stderr, outputs, stopped, time.monotonic() - started)
    return status, abandoned


def _write_all(args: Any, report: Report, stdout: TextIO, stderr: TextIO, outputs: dict[str, Any],
               stopped: str | None, elapsed: float) -> int:
    gates = check_gates(args, report)
    failed = [gate for gate in gates if gate.passed is False]
    if stopped == "interrupted":
        status = EXIT["interrupted"]
    elif stopped is not None:
        status = EXIT["guard"]
    elif report.judged == 0 or any(gate.metric == "unscanned" for gate in failed):
        status = EXIT["unscanned"]
    elif failed:
        status = EXIT["gate"]
    else:
        status = EXIT["ok"]
    settings = (f"timeout {args.timeout_ms} ms; input guard {args.input_guard}, neural guard {args.neural_guard}, "
                f"output shield {args.output_shield}; positive: {','.join(sorted(args.positive))}")
    document = as_json(args, report, gates, status)
    if args.json == "-":
        stdout.write(json.dumps(document, ensure_ascii=False, allow_nan=False, indent=2) + "\n")
    else:
        positives, negatives = report.labels[None]
        stdout.write(render_table(report, settings, (positives, negatives)) + render_misses(report))
        if gates:
            stdout.write("\n" + "".join(f"{'PASS' if gate.passed else 'FAIL' if gate.passed is False else 'SKIP'}  "
                                        f"{gate.title} (got {_value_text(gate.value)})\n" for gate in gates))
    try:
        stdout.flush()
    except (OSError, ValueError):
        pass
    for bad in report.errors[:_ERRORS_SHOWN]:
        stderr.write(f"norv eval: line {bad.line}: {bad.message} ({bad.kind})\n")
    if len(report.errors) > _ERRORS_SHOWN:
        stderr.write(f"norv eval: ... and {len(report.errors) - _ERRORS_SHOWN} more records with errors\n")
    write_failure = None
    for option in ("--json", "--junit"):
        stream = outputs.get(option)
        if stream is None:
            continue
        try:
            stream.write((json.dumps(document, ensure_ascii=False, allow_nan=False, indent=2) + "\n").encode("utf-8")
                         if option == "--json" else as_junit(report, gates, elapsed))
            stream.flush()
        except (OSError, ValueError) as exc:
            write_failure = write_failure or f"{option}: cannot write: {getattr(exc, 'strerror', None) or exc}"
    if write_failure is not None and status in (EXIT["ok"], EXIT["gate"], EXIT["unscanned"]):
        status = EXIT["write"]
    line = _status_line(report, failed, stopped, write_failure, status)
    if line:
        stderr.write(line + "\n")
    return status


def _status_line(report: Report, failed: list[Gate], stopped: str | None, write_failure: str | None,
                 status: int) -> str | None:
    if stopped == "interrupted":
        return f"norv eval: interrupted after {report.records} records (exit status {status})"
    if stopped is not None:
        return f"norv eval: error: {stopped}; the run stopped (exit status {status})"
    if write_failure is not None:
        return f"norv eval: error: {write_failure} (exit status {status})"
    if report.judged == 0:
        return f"norv eval: FAILED: no record could be judged (exit status {status})"
    if failed:
        return (f"norv eval: FAILED {len(failed)} gate{'s' if len(failed) > 1 else ''}: "
                + "; ".join(f"{gate.title}, got {_value_text(gate.value)}" for gate in failed)
                + f" (exit status {status})")
    return None


def main(args: Any) -> int:
    from norv.cli import _exit_now

    # The report is UTF-8 whatever the locale says (group values and ids may be any text).
    stdout: Any = (io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="\n")
                   if getattr(sys.stdout, "buffer", None) is not None else sys.stdout)
    stderr = sys.stderr
    try:
        status, abandoned = run(args, stdout, stderr)
    except Fatal as exc:
        stderr.write(f"norv eval: error: {exc}\n")
        return EXIT["usage"]
    except KeyboardInterrupt:  # before the first record
        return EXIT["interrupted"]
    finally:
        if stdout is not sys.stdout:
            with contextlib.suppress(OSError, ValueError):
                stdout.flush()
            stdout.detach()
    if abandoned:
        # A scan abandoned at its time limit may still hold a worker: exit must not wait for it.
        _exit_now(status)
    return status
