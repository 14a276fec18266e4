"""The fail-safe runner: outcomes, audit events, time-outs and last-resort reporting."""

import concurrent.futures
import sys
import threading

import pytest

from conftest import BACKSTOP, GC, SHORT_MS, FalsyGuard, Guard
from support import NeRaises, StrSub, TruthRaises

CONTENT = "h\u00e9llo"  # five characters, six bytes in UTF-8
LABEL = "InputHeuristic"


def threat(outcome, size=6, label=LABEL):
    return ("THREAT_DETECTED", [("module", label), ("outcome", outcome), ("size_bytes", size)])


def error(text, label=LABEL):
    return ("INTERNAL_MODULE_ERROR", [("module", label), ("error", text), ("action", "FAIL_OPEN")])


def timeout(limit, label=LABEL):
    return ("TIMEOUT", [("module", label), ("limit_sec", limit), ("action", "FAIL_OPEN")])


def last_resort(text):
    return "NORV CRITICAL FAILURE: " + text + "\n"


def run(coord, module, content=CONTENT, metadata=None, context=LABEL):
    return coord._run_fail_safe(module, content, metadata, context)


class Equalish:
    """Not a str, but claims equality with anything."""

    def __ne__(self, other):
        return False


class NeBadTruth:
    def __ne__(self, other):
        return TruthRaises()


class Unprintable(Exception):
    def __str__(self):
        raise ZeroDivisionError("cannot format")


# -- skipped calls ---------------------------------------------------------


@pytest.mark.parametrize(
    "module, content",
    [(None, "text"), (False, "text"), (FalsyGuard(), "text"), (Guard.returning("x"), "")],
    ids=["none", "false", "falsy-module", "empty-content"],
)
def test_skip_runs_nothing(make_coord, audit, capsys, module, content):
    coord = make_coord()
    coord._executor = None  # any attempt to submit would end in a last-resort line
    assert run(coord, module, content) is content
    assert audit.calls == []
    assert capsys.readouterr().out == ""
    if isinstance(module, Guard):
        assert module.calls == []


# -- results of the scan ---------------------------------------------------

EQUAL_COPY = "".join(["h\u00e9", "llo"])
RESULT_CASES = [
    # id, scan result, audit mode, what comes back, events, info line written
    ("same-object", CONTENT, False, "result", [], False),
    ("equal-copy", EQUAL_COPY, False, "result", [], False),
    ("equal-copy-audit", EQUAL_COPY, True, "result", [], False),
    ("sanitised", "clean", False, "result", [threat("BLOCKED")], False),
    ("sanitised-audit", "clean", True, "content", [threat("AUDIT_ONLY")], True),
    ("none", None, False, "result", [threat("BLOCKED")], False),
    ("none-audit", None, True, "content", [threat("AUDIT_ONLY")], True),
    ("bytes", b"clean", False, "content", [threat("BLOCKED"), error("Expected str, got bytes")], False),
    ("list", ["x"], False, "content", [threat("BLOCKED"), error("Expected str, got list")], False),
    ("bytes-audit", b"clean", True, "content", [threat("AUDIT_ONLY")], True),
    ("str-subclass-equal", StrSub(CONTENT), False, "content", [error("Expected str, got StrSub")], False),
    ("str-subclass-different", StrSub("x"), False, "content",
     [threat("BLOCKED"), error("Expected str, got StrSub")], False),
    ("non-str-equal", Equalish(), False, "content", [error("Expected str, got Equalish")], False),
    ("ne-raises", NeRaises(), False, "content", [error("cannot compare")], False),
    ("ne-truth-raises", NeBadTruth(), True, "content", [error("truth unknown")], False),
]


@pytest.mark.parametrize(
    "result, audit_mode, returned, events, info", [c[1:] for c in RESULT_CASES], ids=[c[0] for c in RESULT_CASES]
)
def test_scan_result_outcomes(make_coord, audit, capsys, result, audit_mode, returned, events, info):
    content = CONTENT
    guard = Guard.returning(result)
    coord = make_coord(audit_mode=audit_mode)
    out = run(coord, guard, content)
    assert out is (result if returned == "result" else content)
    assert audit.events == events
    expected_info = [("Audit Mode: Passing input despite detection in " + LABEL,)] if info else []
    assert audit.info_lines == expected_info
    assert capsys.readouterr().out == ""
    assert len(guard.calls) == 1


@pytest.mark.parametrize("label", ["InputNeural", "Output", "any label"])
def test_label_goes_into_events_and_info_line(make_coord, audit, label):
    coord = make_coord(audit_mode=True)
    assert run(coord, Guard.returning("x"), "ab", context=label) == "ab"
    assert audit.events == [threat("AUDIT_ONLY", size=2, label=label)]
    assert audit.info_lines == [("Audit Mode: Passing input despite detection in " + label,)]


@pytest.mark.parametrize("audit_mode", [False, True])
def test_lone_surrogate_is_counted_not_treated_as_a_failure(make_coord, audit, audit_mode):
    content = "a\ud800b"
    coord = make_coord(audit_mode=audit_mode)
    out = run(coord, Guard.returning("clean"), content)
    size = len(content.encode("utf-8", "surrogatepass"))
    assert audit.events == [threat("AUDIT_ONLY" if audit_mode else "BLOCKED", size=size)]
    assert out == (content if audit_mode else "clean")


# -- failing scans -----------------------------------------------------------


@pytest.mark.parametrize(
    "exc", [ValueError("bad pattern"), RuntimeError(), KeyError("k"), concurrent.futures.CancelledError("c")],
    ids=["message", "no-args", "keyerror", "cancelled"],
)
def test_scan_exception_is_contained(make_coord, audit, exc):
    coord = make_coord()
    assert run(coord, Guard.raising(exc)) is CONTENT
    assert audit.events == [error(str(exc))]
    assert audit.calls[0].handled is exc


@pytest.mark.parametrize("module", [object(), True], ids=["object", "true"])
def test_module_without_scan(make_coord, audit, module):
    with pytest.raises(AttributeError) as info:
        module.scan  # noqa: B018 (the lookup is the point)
    assert run(make_coord(), module) is CONTENT
    assert audit.events == [error(str(info.value))]


@pytest.mark.parametrize("exc", [TimeoutError("own"), type("ScanTimeout", (TimeoutError,), {})()])
def test_scan_raising_timeout_error_counts_as_timeout(make_coord, audit, exc):
    coord = make_coord()
    assert run(coord, Guard.raising(exc)) is CONTENT
    assert audit.events == [timeout(coord.timeout_seconds)]


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_from_scan_propagate(make_coord, audit, capsys, exc_type):
    exc = exc_type("stop")
    with pytest.raises(exc_type) as info:
        run(make_coord(), Guard.raising(exc))
    assert info.value is exc
    assert audit.calls == []
    assert capsys.readouterr().out == ""


# An error that cannot give its text is still the module's error, named by its
# type; only an event that cannot be written ends in the last resort.
@pytest.mark.parametrize("log_error, printed", [(None, ""), (OSError("log unwritable"), last_resort("log unwritable"))],
                         ids=["event-written", "event-unwritable"])
def test_unformattable_error_is_recorded_by_its_type_name(make_coord, audit, capsys, log_error, printed):
    exc = Unprintable()
    if log_error is not None:
        audit.fail["INTERNAL_MODULE_ERROR"] = log_error
    assert run(make_coord(), Guard.raising(exc)) is CONTENT
    assert audit.events == [error("Unprintable")]
    assert audit.calls[0].handled is exc
    assert capsys.readouterr().out == printed


# -- time-outs -------------------------------------------------------------


def test_timeout_returns_content_and_drops_late_result(make_coord, audit, gate, blocking):
    coord = make_coord(SHORT_MS)
    guard = Guard(blocking)
    assert run(coord, guard) is CONTENT
    assert audit.events == [timeout(0.02)]
    assert isinstance(audit.calls[0].handled, TimeoutError)
    gate.set()
    assert guard.done.wait(BACKSTOP)
    assert audit.events == [timeout(0.02)]


def test_saturated_pool_times_out_queued_scans(make_coord, audit, gate, blocking):
    coord = make_coord(SHORT_MS)
    for _ in range(4):
        assert run(coord, Guard(blocking)) is CONTENT
    queued = Guard.returning("never used")
    assert run(coord, queued, "queued") == "queued"
    assert audit.names == ["TIMEOUT"] * 5
    assert queued.calls == []  # no fifth worker: the scan waits in the queue
    gate.set()
    assert queued.done.wait(BACKSTOP)  # abandoned, not cancelled
    assert audit.names == ["TIMEOUT"] * 5


# -- failures of the recording itself ----------------------------------------

RECORDING_FAILURES = [
    # id, log_audit failures, info failure, scan, audit mode, events, printed
    ("threat", {"THREAT_DETECTED": OSError("disk full")}, None, "clean", False,
     [threat("BLOCKED"), error("disk full")], ""),
    ("info", {}, RuntimeError("log sink gone"), "clean", True, [threat("AUDIT_ONLY"), error("log sink gone")], ""),
    ("threat-then-error", {"THREAT_DETECTED": OSError("first"), "INTERNAL_MODULE_ERROR": OSError("second")},
     None, "clean", False, [threat("BLOCKED"), error("first")], last_resort("second")),
    ("error", {"INTERNAL_MODULE_ERROR": OSError("unwritable")}, None, ValueError("v"), False,
     [error("v")], last_resort("unwritable")),
    ("timeout", {"TIMEOUT": OSError("unwritable")}, None, "block", False, [timeout(0.02)], last_resort("unwritable")),
]


@pytest.mark.parametrize(
    "fail, info_fail, scan, audit_mode, events, printed",
    [c[1:] for c in RECORDING_FAILURES], ids=[c[0] for c in RECORDING_FAILURES],
)
def test_recording_failures(make_coord, audit, capsys, blocking, fail, info_fail, scan, audit_mode, events, printed):
    audit.fail.update(fail)
    audit.logger.fail = info_fail
    if scan == "block":
        guard, coord = Guard(blocking), make_coord(SHORT_MS)
    else:
        guard = Guard.raising(scan) if isinstance(scan, Exception) else Guard.returning(scan)
        coord = make_coord(audit_mode=audit_mode)
    assert run(coord, guard) is CONTENT
    assert audit.events == events
    assert capsys.readouterr().out == printed
    if fail.get("THREAT_DETECTED") or info_fail:
        assert audit.calls[1].handled is (fail.get("THREAT_DETECTED") or info_fail)


@pytest.mark.parametrize("where", ["log_audit", "last-resort", "print"])
def test_uncontained_failures_reach_the_caller(make_coord, audit, capsys, monkeypatch, where):
    class BrokenStdout:
        def write(self, text):
            raise BrokenPipeError("stdout closed")

    if where == "log_audit":
        audit.fail["THREAT_DETECTED"] = expected = KeyboardInterrupt()
        guard = Guard.returning("clean")
    else:
        audit.fail["INTERNAL_MODULE_ERROR"] = Unprintable() if where == "last-resort" else OSError("x")
        guard = Guard.raising(ValueError("v"))
        if where == "print":
            monkeypatch.setattr(sys, "stdout", BrokenStdout())
    with pytest.raises(BaseException) as info:
        run(make_coord(), guard)
    if where == "log_audit":
        assert info.value is expected and audit.names == ["THREAT_DETECTED"]
        assert capsys.readouterr().out == ""
    else:
        assert type(info.value) is (ZeroDivisionError if where == "last-resort" else BrokenPipeError)


def _submit_failure_text(break_pool):
    pool = concurrent.futures.ThreadPoolExecutor()
    break_pool(pool)
    try:
        pool.submit(print)
    except RuntimeError as e:
        return str(e)


@pytest.mark.parametrize("breakage", ["shutdown", "missing", "truth"])
def test_failure_before_the_wait_ends_in_last_resort(make_coord, audit, capsys, breakage):
    coord = make_coord()
    module = Guard()
    if breakage == "shutdown":
        coord._executor.shutdown()
        text = _submit_failure_text(lambda pool: pool.shutdown())
    elif breakage == "missing":
        del coord._executor
        text = "'GovernanceCoordinator' object has no attribute '_executor'"
    else:
        module = TruthRaises()
        text = "truth unknown"
    assert run(coord, module) is CONTENT
    assert audit.calls == []
    assert capsys.readouterr().out == last_resort(text)
    assert getattr(module, "calls", []) == []


# -- handled-exception state ---------------------------------------------------


class RecordingStdout:
    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append((text, sys.exception()))

    def flush(self):
        pass


def test_handlers_expose_the_handled_exception(make_coord, audit, monkeypatch):
    scan_error = ValueError("scan")
    audit_error = OSError("audit")
    audit.fail["INTERNAL_MODULE_ERROR"] = audit_error
    stdout = RecordingStdout()
    monkeypatch.setattr(sys, "stdout", stdout)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert run(make_coord(), Guard.raising(scan_error)) is CONTENT
        assert sys.exception() is outer  # restored after the call
    assert audit.calls[0].handled is scan_error
    assert audit_error.__context__ is scan_error
    assert stdout.writes[0] == ("NORV CRITICAL FAILURE: audit", audit_error)


def test_detection_is_logged_outside_any_handler(make_coord, audit):
    try:
        raise KeyError("outer")
    except KeyError as outer:
        run(make_coord(), Guard.returning("clean"))
        assert audit.calls[0].handled is outer
    run(make_coord(), Guard.returning("clean"))
    assert audit.calls[1].handled is None


# -- what is read, and when ------------------------------------------------------


@pytest.mark.parametrize("attr", ["timeout_seconds", "audit_mode"])
def test_settings_missing_inside_the_guarded_region(make_coord, audit, capsys, attr):
    coord = make_coord()
    guard = Guard.returning("clean")
    delattr(coord, attr)
    assert run(coord, guard) is CONTENT
    assert audit.events == [error(f"'GovernanceCoordinator' object has no attribute '{attr}'")]
    assert capsys.readouterr().out == ""
    assert guard.done.wait(BACKSTOP)  # submitted before the failing read


def test_settings_are_read_at_each_call(make_coord, audit):
    coord = make_coord()
    coord.audit_mode = "yes"  # any truthy object, not only a bool
    assert run(coord, Guard.returning("clean")) is CONTENT
    assert audit.events == [threat("AUDIT_ONLY")]


class FlippingSettings(GC):
    """Settings whose value changes between two reads within one call."""

    @property
    def audit_mode(self):
        self.__dict__["audit_reads"] = self.__dict__.get("audit_reads", 0) + 1
        return self.audit_reads == 1

    @audit_mode.setter
    def audit_mode(self, value):
        pass

    @property
    def timeout_seconds(self):
        self.__dict__["timeout_reads"] = self.__dict__.get("timeout_reads", 0) + 1
        return 0.02 if self.timeout_reads == 1 else 7.5

    @timeout_seconds.setter
    def timeout_seconds(self, value):
        pass


def test_audit_mode_is_read_twice(make_coord, audit):
    coord = make_coord(cls=FlippingSettings)
    assert run(coord, Guard.returning("clean")) == "clean"
    assert audit.events == [threat("AUDIT_ONLY")]
    assert audit.info_lines == []
    assert coord.audit_reads == 2


def test_timeout_seconds_is_read_again_for_the_event(make_coord, audit, blocking):
    coord = make_coord(cls=FlippingSettings)
    assert run(coord, Guard(blocking)) is CONTENT
    assert audit.events == [timeout(7.5)]
    assert coord.timeout_reads == 2


class FakeFuture:
    def __init__(self, value):
        self.value, self.calls = value, []

    def result(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.value


class FakePool:
    def __init__(self, value):
        self.future, self.submits = FakeFuture(value), []

    def submit(self, *args, **kwargs):
        self.submits.append((args, kwargs))
        return self.future


def test_pool_and_future_calls(make_coord, audit):
    coord = make_coord(1234)
    coord._executor = pool = FakePool("clean")
    module, metadata = Guard(), {"user": "u"}
    assert run(coord, module, metadata=metadata) == "clean"
    [(args, kwargs)] = pool.submits
    assert kwargs == {} and len(args) == 4
    assert args[0] == coord._safe_scan and args[0].__self__ is coord
    assert args[1] is module and args[2] is CONTENT and args[3] is metadata
    assert pool.future.calls == [((), {"timeout": 1.234})]
    assert module.calls == []  # the fake pool never runs it


@pytest.mark.parametrize("metadata", [None, {}, {"user_id": "u1", "session_id": "s1"}])
def test_metadata_reaches_scan_as_the_same_object(make_coord, audit, metadata):
    snapshot = None if metadata is None else dict(metadata)
    guard = Guard()
    run(make_coord(), guard, metadata=metadata)
    [call] = guard.calls
    assert call.kwargs == {} and len(call.args) == 2
    assert call.args[0] is CONTENT and call.args[1] is metadata
    assert metadata == snapshot


def test_scan_runs_on_a_worker_and_events_on_the_caller(make_coord, audit):
    coord = make_coord(audit_mode=True)
    guard = Guard.returning("clean")
    host = threading.Thread(target=run, args=(coord, guard), name="host-thread")
    audit.caller = host
    host.start()
    host.join(BACKSTOP)
    assert guard.calls[0].thread_name.startswith("NORV_Worker")
    assert audit.names == ["THREAT_DETECTED"] and len(audit.info_lines) == 1


class SubclassScan(GC):
    def _safe_scan(self, module, content, metadata):
        return "subclass on " + threading.current_thread().name


def test_safe_scan_overrides_are_used(make_coord, audit):
    coord = make_coord(cls=SubclassScan)
    assert run(coord, Guard()).startswith("subclass on NORV_Worker")
    coord = make_coord()
    coord._safe_scan = lambda module, content, metadata: "instance:" + content
    assert run(coord, Guard()) == "instance:" + CONTENT
    assert audit.names == ["THREAT_DETECTED", "THREAT_DETECTED"]


# -- _safe_scan on its own ----------------------------------------------------------


@pytest.mark.parametrize("value", [None, 5, b"bytes", ["list"], StrSub("s")])
def test_safe_scan_returns_whatever_scan_returns(make_coord, audit, value):
    coord = make_coord()
    guard = Guard.returning(value)
    content = object()  # content is not tested here
    assert coord._safe_scan(guard, content, None) is value
    assert guard.calls[0].args == (content, None)
    assert audit.calls == []


@pytest.mark.parametrize("exc", [ValueError("v"), KeyboardInterrupt()])
def test_safe_scan_lets_exceptions_through(make_coord, audit, exc):
    with pytest.raises(type(exc)) as info:
        make_coord()._safe_scan(Guard.raising(exc), "x", {})
    assert info.value is exc
    assert audit.calls == []
