"""The audit logger (norv.utils.logger) on its own: the fallback handler's rule,
the layout of an event line, and what an exotic or forging detail becomes."""

from __future__ import annotations

import json
import logging
import math
import re
import uuid

import pytest

from norv.utils.logger import log_audit, setup_logger


class Collect(logging.Handler):
    """Keeps the records it is handed."""

    def __init__(self, passive: bool = False) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        if passive:
            self.norv_passive = True  # a listener of norv's own, as the metrics and screening collectors are

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@pytest.fixture
def loggers(monkeypatch):
    """Called in the test body: a parent logger of its own and norv's logger
    below it, with the root logger bare. (pytest adds its capture handler to the
    root once fixtures are set up; it comes back afterwards.)"""
    made: list[logging.Logger] = []

    def make() -> tuple[logging.Logger, logging.Logger]:
        monkeypatch.setattr(logging.root, "handlers", [])
        parent = logging.getLogger(f"norvtest_{uuid.uuid4().hex}")
        child = setup_logger(parent.name + ".coordinator")
        made.extend((parent, child))
        return parent, child

    yield make
    for logger in made:
        logger.handlers.clear()
        logger.propagate = True


def stderr_events(capsys) -> list[dict]:
    return [json.loads(line) for line in capsys.readouterr().err.splitlines()]


# -- the fallback handler -------------------------------------------------------------


@pytest.mark.parametrize(
    "where, passive, parent_propagates, fallback_writes",
    [
        ("nowhere", False, True, True),
        ("root", False, True, False),
        ("parent", False, True, False),
        ("child", False, True, False),
        ("root", True, True, True),  # a passive handler listens without taking over
        ("root", False, False, True),  # the parent stops the record before the root's handler
        ("parent", False, False, False),  # ... but its own handler still has it
    ],
)
def test_fallback_writes_only_while_no_other_handler_receives(loggers, capsys, where, passive, parent_propagates,
                                                               fallback_writes):
    parent, child = loggers()
    parent.propagate = parent_propagates
    other = Collect(passive)
    if where != "nowhere":
        {"root": logging.root, "parent": parent, "child": child}[where].addHandler(other)
    log_audit(child, "THREAT_DETECTED", {"module": "InputHeuristic"})
    written = stderr_events(capsys)
    assert len(written) == (1 if fallback_writes else 0)
    reaches_other = where in ("parent", "child") or (where == "root" and parent_propagates)
    assert len(other.records) == (1 if reaches_other else 0)
    if written and other.records:
        assert json.loads(other.records[0].getMessage()) == written[0]


def test_record_carries_the_event_for_listeners(loggers):
    _, child = loggers()
    listener = Collect(passive=True)
    child.addHandler(listener)
    details = {"module": "Output", "action": "FAIL_OPEN"}
    log_audit(child, "TIMEOUT", details)
    [record] = listener.records
    assert record.levelno == logging.INFO and record.name == child.name
    assert record.norv_event == "TIMEOUT"
    assert record.norv_details == details and record.norv_details is not details


def test_setup_is_idempotent_and_keeps_the_hosts_level(loggers, capsys):
    parent, _ = loggers()
    name = parent.name + ".quiet"
    logging.getLogger(name).setLevel(logging.WARNING)
    logger = setup_logger(name)
    assert setup_logger(name) is logger and len(logger.handlers) == 1
    assert logger.level == logging.WARNING
    log_audit(logger, "THREAT_DETECTED", {"module": "Output"})
    assert stderr_events(capsys) == []


def test_disabled_logger_builds_no_line(loggers):
    _, child = loggers()
    child.setLevel(logging.WARNING)

    class Unrepresentable:
        def __repr__(self):
            raise AssertionError("a line was built for a disabled logger")

    log_audit(child, "THREAT_DETECTED", {"module": Unrepresentable()})


def test_other_records_become_json_objects(loggers, capsys):
    _, child = loggers()
    child.info("Audit Mode: Passing input despite detection in %s", "Output")
    try:
        raise ValueError("scan failed")
    except ValueError:
        child.exception("module failed")
    notice, failure = stderr_events(capsys)
    assert list(notice) == ["timestamp", "logger", "level", "message"]
    assert notice["level"] == "INFO" and notice["logger"] == child.name
    assert notice["message"] == "Audit Mode: Passing input despite detection in Output"
    assert failure["level"] == "ERROR" and "ValueError: scan failed" in failure["exception"]


# -- the event line -----------------------------------------------------------------------


def test_event_line_layout(loggers, capsys):
    _, child = loggers()
    log_audit(child, "THREAT_DETECTED", {"module": "InputHeuristic", "outcome": "BLOCKED", "size_bytes": 42})
    [line] = capsys.readouterr().err.splitlines()
    event = json.loads(line)
    assert list(event) == ["timestamp", "logger", "event", "module", "outcome", "size_bytes"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", event["timestamp"])
    assert (event["logger"], event["event"], event["size_bytes"]) == (child.name, "THREAT_DETECTED", 42)


def test_details_cannot_forge_the_leading_keys(loggers, capsys):
    _, child = loggers()
    details = {"event": "FORGED", "module": "Output", "timestamp": "1970-01-01", "logger": "other", 7: "seven"}
    log_audit(child, "TIMEOUT", details)
    [event] = stderr_events(capsys)
    assert list(event) == ["timestamp", "logger", "event", "detail_event", "module", "detail_timestamp",
                           "detail_logger", "7"]
    assert (event["logger"], event["event"]) == (child.name, "TIMEOUT")
    assert event["timestamp"] != "1970-01-01"
    assert (event["detail_event"], event["detail_timestamp"], event["detail_logger"]) == \
        ("FORGED", "1970-01-01", "other")
    assert list(details) == ["event", "module", "timestamp", "logger", 7]  # the caller's dict is left alone


class Exotic:
    def __repr__(self):
        return "<exotic detail>"


@pytest.mark.parametrize(
    "value, shown",
    [
        (Exotic(), "<exotic detail>"),
        (b"\x00bytes", "b'\\x00bytes'"),
        ({1, 2}, "{1, 2}"),
        ({"nested": Exotic()}, {"nested": "<exotic detail>"}),
        ("é✓ 😀", "é✓ 😀"),
    ],
    ids=["object", "bytes", "set", "nested", "non-ascii"],
)
def test_exotic_details_are_shown_by_repr(loggers, capsys, value, shown):
    _, child = loggers()
    log_audit(child, "INTERNAL_MODULE_ERROR", {"error": value})
    err = capsys.readouterr().err
    assert json.loads(err)["error"] == shown
    assert "\\u" not in err  # written as it is, not escaped


def test_non_finite_numbers_are_written(loggers, capsys):
    _, child = loggers()
    log_audit(child, "TIMEOUT", {"limit_sec": math.inf, "ratio": math.nan})
    event = json.loads(capsys.readouterr().err)
    assert event["limit_sec"] == math.inf and math.isnan(event["ratio"])
