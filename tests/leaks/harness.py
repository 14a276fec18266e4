"""Reference-leak harness for norv.core.coordinator.

Every path of the module (construction, registration, each outcome of the
fail-safe runner, both pipelines, every kind of binding error of every method
through vectorcall and through the classic call, introspection, re-import) is
run for warm-up rounds and then for measured rounds. Across each measured
round the harness reads ``sys.gettotalrefcount()`` and
``sys.getallocatedblocks()``; a path passes only if both stay exactly where
they were. Only a debug interpreter counts references (``python3.11-dbg``,
with the extension built against its headers: ``make test-leaks``).

Readings are taken when nothing moves: the coordinators' worker threads idle,
the type attribute cache emptied and garbage collected, the values stored in
a preallocated array so that the bookkeeping itself creates no objects. Each
call of a path also checks its own outcome (result, audit events, printed
lines), so a path that silently took another road fails instead of passing.

    python tests/leaks/harness.py [-k TEXT] [--rounds N] [--json]
"""

from __future__ import annotations

import argparse
import gc
import importlib
import inspect
import json
import math
import sys
import threading
import time
import types
from array import array
from collections import OrderedDict
from collections.abc import Callable
from pathlib import Path

if __package__ in (None, ""):  # run as a script: the shared test support is one folder up
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import norv.core.coordinator as coordinator_module
from support import (
    GC,
    SIGNATURES,
    EqRaises,
    IntSub,
    NeRaises,
    OtherHash,
    StrSub,
    TruthRaises,
    count_error,
    required_count,
    type_error,
    vectorcall,
    writable,
    written_call,
)

WARMUP = 3
ROUNDS = 3
CALLS = 10  # calls of a path per round: a per-call leak shows as CALLS per round

LONG_MS = 60_000  # a limit no scan reaches, however slow the interpreter
BACKSTOP = 30.0  # seconds; anything a path waits on is bounded by it

TEXT = "Please summarise the attached report."
REDACTED = "[redacted]"
REFUSED = "I cannot help with that."

Once = Callable[[], None]
PATHS: dict[str, Callable[[Harness], Once]] = {}


def path(name: str):
    def register(factory):
        assert name not in PATHS, name
        PATHS[name] = factory
        return factory

    return register


# ---------------------------------------------------------------- checking


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def expect_raises(kind: type, message: str, call: Callable, *args) -> None:
    """``call(*args)`` must raise ``kind`` whose text is ``message``."""
    try:
        call(*args)
    except kind as exc:
        text = str(exc)
        expect(text == message, f"{kind.__name__}: {text!r} != {message!r}")
        return
    raise AssertionError(f"{kind.__name__} not raised")


# ---------------------------------------------------------------- the world


class AuditSink:
    """Stands in for both ``log_audit`` and ``logger``: keeps the names of the
    events (and "INFO" for the audit-mode line) written by the current call."""

    def __init__(self):
        self.events: list = []
        self.fail_on: frozenset = frozenset()
        self.fail_info = False

    def __call__(self, logger, event, details):
        expect(logger is self and type(details) is dict, "log_audit contract")
        self.events.append(event)
        if event in self.fail_on:
            raise RuntimeError("audit sink unavailable")

    def info(self, message):
        self.events.append("INFO")
        if self.fail_info:
            raise RuntimeError("logger unavailable")

    def take(self) -> tuple:
        events = tuple(self.events)
        self.events.clear()
        return events


class Output:
    """sys.stdout while a path runs: keeps what print() wrote."""

    def __init__(self):
        self.parts: list = []
        self.fail = False

    def write(self, text):
        if self.fail:
            raise OSError("standard output closed")
        self.parts.append(text)
        return len(text)

    def flush(self):
        pass

    def take(self) -> str:
        text = "".join(self.parts)
        self.parts.clear()
        return text


def wait_idle(pool) -> None:
    # ThreadPoolExecutor (3.11) releases its idle semaphore as a worker's last
    # step before it blocks on the queue again; a reading taken while a worker
    # still holds its finished work item would count that item.
    if pool._shutdown:
        for thread in list(pool._threads):
            thread.join(BACKSTOP)
        return
    deadline = time.monotonic() + BACKSTOP
    while not (pool._work_queue.empty() and pool._idle_semaphore._value >= len(pool._threads)):
        if time.monotonic() > deadline:
            raise AssertionError("worker pool did not become idle")
        time.sleep(0.0005)


class Harness:
    """Audit sinks in place of the module's ``logger`` and ``log_audit``,
    standard output captured, and coordinators whose pools are waited for."""

    def __enter__(self):
        self.audit = AuditSink()
        self.out = Output()
        self._saved = (coordinator_module.log_audit, coordinator_module.logger, sys.stdout)
        coordinator_module.log_audit = self.audit
        coordinator_module.logger = self.audit
        sys.stdout = self.out
        self.pools: list = []
        self.coord = self.coordinator()
        return self

    def __exit__(self, *exc_info):
        coordinator_module.log_audit, coordinator_module.logger, sys.stdout = self._saved
        for pool in self.pools:
            pool.shutdown(wait=True)

    def coordinator(self, timeout_ms=LONG_MS, audit_mode=False, cls=GC):
        coord = cls(timeout_ms, audit_mode)
        self.pools.append(coord._executor)
        return coord

    def quiesce(self) -> None:
        for pool in self.pools:
            wait_idle(pool)

    def settle(self) -> None:
        self.quiesce()
        time.sleep(0.002)  # let a worker that just went idle reach its blocking get
        sys._clear_type_cache()
        gc.collect()

    def outcome(self, result, expected, events: tuple, printed: str = "") -> None:
        expect(result is expected or (type(result) is str and result == expected), f"result {result!r}")
        got = self.audit.take()
        expect(got == events, f"events {got} != {events}")
        text = self.out.take()
        expect(text.startswith(printed) if printed else text == "", f"printed {text!r}")


def measure(factory: Callable[[Harness], Once], warmup: int = WARMUP, rounds: int = ROUNDS,
            calls: int = CALLS) -> list:
    """[(reference delta, block delta)] for each measured round of the path
    that ``factory`` makes (a value of PATHS)."""
    # Everything alive before the path is set up is left out of the collections
    # that precede each reading: they need only look at what the path made.
    gc.collect()
    gc.freeze()
    try:
        return _measure(factory, warmup, rounds, calls)
    finally:
        gc.unfreeze()


def _measure(factory, warmup, rounds, calls) -> list:
    with Harness() as h:
        once = factory(h)
        readings = array("q", bytes(8 * 2 * (rounds + 1)))

        def read(slot):
            h.settle()
            readings[2 * slot] = sys.gettotalrefcount()
            readings[2 * slot + 1] = sys.getallocatedblocks()

        for _ in range(warmup):
            for _ in range(calls):
                once()
            h.quiesce()
        # Reading 0 is taken inside the same loop as the others, so that the
        # loop's own iterator and variable are alive at every reading.
        for index in range(rounds + 1):
            if index:
                for _ in range(calls):
                    once()
            read(index)
    return [
        (readings[2 * i + 2] - readings[2 * i], readings[2 * i + 3] - readings[2 * i + 1]) for i in range(rounds)
    ]


# ---------------------------------------------------------------- modules


class Guard:
    """A security module whose scan applies ``behaviour`` and counts calls."""

    def __init__(self, behaviour, refusal_message=None):
        self.behaviour = behaviour
        self.calls = [0]
        if refusal_message is not None:
            self.refusal_message = refusal_message

    def scan(self, content, metadata):
        self.calls[0] += 1
        return self.behaviour(content, metadata)

    def take_calls(self) -> int:
        calls = self.calls[0]
        self.calls[0] = 0
        return calls


class Blocking:
    """Holds its worker until released: a scan that overruns any limit."""

    def __init__(self):
        self.gate = threading.Event()
        self.done = threading.Event()

    def scan(self, content, metadata):
        try:
            self.gate.wait(BACKSTOP)
            return "too late"
        finally:
            self.done.set()

    def release(self, h: Harness) -> None:
        self.gate.set()
        expect(self.done.wait(BACKSTOP), "blocked scan never ended")
        h.quiesce()
        self.gate.clear()
        self.done.clear()


def raising(exc_type, text=""):
    def behaviour(content, metadata):
        raise exc_type(text)

    return behaviour


class Undescribable(Exception):
    """An error whose str() raises: its event names its type instead."""

    def __str__(self):
        raise RuntimeError("no text")


class FalseModule:
    def __len__(self):
        return 0

    def scan(self, content, metadata):  # pragma: no cover - must not run
        raise AssertionError("a false module was scanned")


# ---------------------------------------------------------------- construction


@path("construct/default")
def _(h):
    def once():
        coord = GC()
        expect(coord.timeout_seconds == 0.05 and coord.audit_mode is False, "defaults")
        expect(coord.input_guard is None and coord.neural_guard is None and coord.output_shield is None, "slots")

    return once


@path("construct/keywords")
def _(h):
    def once():
        coord = GC(audit_mode=True, timeout_ms=250)
        expect(coord.timeout_seconds == 0.25 and coord.audit_mode is True, "values")

    return once


@path("construct/converted")
def _(h):
    flag = ["on"]

    def once():
        coord = GC(2.9, flag)
        expect(coord.timeout_seconds == 0.002 and coord.audit_mode is True, "converted")
        coord = GC(IntSub(7), None)
        expect(coord.timeout_seconds == 0.007 and coord.audit_mode is False, "int subclass")

    return once


@path("construct/overflow")
def _(h):
    huge = 10**400
    return lambda: expect_raises(OverflowError, "int too large to convert to float", GC, huge)


@path("construct/pool_failure")
def _(h):
    stand_in = types.SimpleNamespace()  # no `futures`

    def once():
        saved = coordinator_module.concurrent
        coordinator_module.concurrent = stand_in
        try:
            coord = GC.__new__(GC)
            expect_raises(AttributeError, "'types.SimpleNamespace' object has no attribute 'futures'", coord.__init__)
            expect(len(vars(coord)) == 5, "five attributes before the pool")
        finally:
            coordinator_module.concurrent = saved

    return once


# ---------------------------------------------------------------- registration

REGISTER = {
    "register_input_guard": ("guard", "input_guard"),
    "register_output_shield": ("shield", "output_shield"),
    "register_neural_guard": ("guard", "neural_guard"),
}


def _register_paths():
    for method, (param, slot) in REGISTER.items():

        def positional(h, method=method, slot=slot):
            bound = getattr(h.coord, method)

            def once():
                module = object()  # a leaked registration costs exactly one reference and one block
                expect(bound(module) is None, "returns None")
                expect(getattr(h.coord, slot) is module, "stored")

            return once

        def by_keyword(h, method=method, param=param, slot=slot):
            func = getattr(GC, method)
            kwargs = {param: None}

            def once():
                module = object()  # a leaked registration costs exactly one reference and one block
                kwargs[param] = module
                expect(func(h.coord, **kwargs) is None, "returns None")
                kwargs[param] = None
                expect(getattr(h.coord, slot) is module, "stored")

            return once

        def refused(h, method=method):
            class Frozen(GC):
                def __setattr__(self, name, value):
                    raise AttributeError("frozen coordinator")

            coord = Frozen.__new__(Frozen)
            module = Guard(None)
            return lambda: expect_raises(AttributeError, "frozen coordinator", getattr(coord, method), module)

        path(f"register/{method}/positional")(positional)
        path(f"register/{method}/keyword")(by_keyword)
        path(f"register-refused/{method}")(refused)


_register_paths()


# ---------------------------------------------------------------- the runner's outcomes


def _runner_row(name, module_factory, expected, events, printed="", *, content=TEXT, audit_mode=False,
                fail_on=(), fail_info=False):
    def factory(h):
        coord = h.coordinator(audit_mode=audit_mode)
        module = module_factory()
        h.audit.fail_on = frozenset(fail_on)
        h.audit.fail_info = fail_info
        want = content if expected is CONTENT else expected

        def once():
            h.outcome(coord._run_fail_safe(module, content, None, "InputHeuristic"), want, events, printed)

        return once

    path("runner/" + name)(factory)


CONTENT = object()  # marks "the content itself passes"
TD, TO, IME = "THREAT_DETECTED", "TIMEOUT", "INTERNAL_MODULE_ERROR"
LAST_RESORT = "NORV CRITICAL FAILURE: "

_runner_row("no_module", lambda: None, CONTENT, ())
_runner_row("false_module", FalseModule, CONTENT, ())
_runner_row("empty_content", lambda: Guard(lambda c, m: REDACTED), "", (), content="")
_runner_row("unchanged_same", lambda: Guard(lambda c, m: c), CONTENT, ())
_runner_row("unchanged_equal", lambda: Guard(lambda c, m: "".join(list(c))), CONTENT, ())
_runner_row("detected_blocked", lambda: Guard(lambda c, m: REDACTED), REDACTED, (TD,))
_runner_row("audit_mode", lambda: Guard(lambda c, m: REDACTED), CONTENT, (TD, "INFO"), audit_mode=True)
_runner_row("none_result", lambda: Guard(lambda c, m: None), None, (TD,))
_runner_row("none_result_audit_mode", lambda: Guard(lambda c, m: None), CONTENT, (TD, "INFO"), audit_mode=True)
_runner_row("wrong_type", lambda: Guard(lambda c, m: c.encode()), CONTENT, (TD, IME))
_runner_row("equal_str_subclass", lambda: Guard(lambda c, m: StrSub(c)), CONTENT, (IME,))
_runner_row("timeout_class_raised", lambda: Guard(raising(TimeoutError, "slow")), CONTENT, (TO,))
_runner_row("module_error", lambda: Guard(raising(ValueError, "model unavailable")), CONTENT, (IME,))
_runner_row("module_error_no_args", lambda: Guard(raising(RuntimeError)), CONTENT, (IME,))
_runner_row("module_error_undescribable", lambda: Guard(raising(Undescribable)), CONTENT, (IME,))
_runner_row("no_scan_method", object, CONTENT, (IME,))
_runner_row("comparison_raises", lambda: Guard(lambda c, m, r=NeRaises(): r), CONTENT, (IME,))  # noqa: B008
# The module counts a lone surrogate as its "surrogatepass" size instead of failing.
_runner_row("lone_surrogate", lambda: Guard(lambda c, m: REDACTED), REDACTED, (TD,), content="\ud800 lone")
_runner_row("logging_fails_on_detection", lambda: Guard(lambda c, m: REDACTED), CONTENT, (TD, IME), fail_on=(TD,))
_runner_row("logging_fails_on_audit_line", lambda: Guard(lambda c, m: REDACTED), CONTENT, (TD, "INFO", IME),
            audit_mode=True, fail_info=True)
_runner_row("last_resort_after_error", lambda: Guard(raising(ValueError, "x")), CONTENT, (IME,), LAST_RESORT,
            fail_on=(IME,))
_runner_row("last_resort_after_detection", lambda: Guard(lambda c, m: REDACTED), CONTENT, (TD, IME), LAST_RESORT,
            fail_on=(TD, IME))
_runner_row("last_resort_truth_raises", TruthRaises, CONTENT, (), LAST_RESORT + "truth unknown")


@path("runner/timeout")
def _(h):
    coord = h.coordinator(timeout_ms=1)
    module = Blocking()

    def once():
        h.outcome(coord._run_fail_safe(module, TEXT, None, "Output"), TEXT, (TO,))
        module.release(h)

    return once


@path("runner/last_resort_after_timeout")
def _(h):
    coord = h.coordinator(timeout_ms=1)
    module = Blocking()
    h.audit.fail_on = frozenset({TO})

    def once():
        h.outcome(coord._run_fail_safe(module, TEXT, None, "Output"), TEXT, (TO,), LAST_RESORT)
        module.release(h)

    return once


@path("runner/shut_down_pool")
def _(h):
    coord = h.coordinator()
    coord._executor.shutdown(wait=True)
    module = Guard(lambda c, m: REDACTED)
    message = LAST_RESORT + "cannot schedule new futures after shutdown"
    return lambda: h.outcome(coord._run_fail_safe(module, TEXT, None, "Output"), TEXT, (), message)


@path("runner/missing_executor")
def _(h):
    coord = h.coordinator()
    del coord._executor
    module = Guard(lambda c, m: REDACTED)
    return lambda: h.outcome(coord._run_fail_safe(module, TEXT, None, "Output"), TEXT, (), LAST_RESORT)


@path("runner/base_exception_propagates")
def _(h):
    module = Guard(raising(KeyboardInterrupt, "stop"))

    def once():
        expect_raises(KeyboardInterrupt, "stop", h.coord._run_fail_safe, module, TEXT, None, "Output")
        expect(h.audit.take() == (), "no event")

    return once


@path("runner/last_resort_fails")
def _(h):
    module = Guard(raising(ValueError, "x"))
    h.audit.fail_on = frozenset({IME})

    def once():
        h.out.fail = True
        try:
            expect_raises(OSError, "standard output closed", h.coord._run_fail_safe, module, TEXT, None, "Output")
        finally:
            h.out.fail = False
        expect(h.audit.take() == (IME,), "event before the failing print")

    return once


@path("runner/safe_scan")
def _(h):
    metadata = {"session": "s"}
    module = Guard(lambda c, m: (c, m))
    failing = Guard(raising(ValueError, "scan failed"))

    def once():
        expect(h.coord._safe_scan(module, TEXT, metadata) == (TEXT, metadata), "scan result")
        expect_raises(ValueError, "scan failed", h.coord._safe_scan, failing, TEXT, None)

    return once


# ---------------------------------------------------------------- pipelines


@path("pipeline/input_no_guards")
def _(h):
    return lambda: h.outcome(h.coord.process_input(TEXT), TEXT, ())


@path("pipeline/input_refusal")
def _(h):
    coord = h.coordinator()
    neural = Guard(lambda c, m: "neural verdict")
    coord.register_input_guard(Guard(lambda c, m: REFUSED, refusal_message=REFUSED))
    coord.register_neural_guard(neural)

    def once():
        h.outcome(coord.process_input(TEXT, {"user": "u"}), REFUSED, (TD,))
        expect(neural.take_calls() == 0, "neural step skipped after a refusal")

    return once


@path("pipeline/input_neural_step")
def _(h):
    coord = h.coordinator()
    neural = Guard(lambda c, m: "neural verdict" if c == "sanitised" else c)
    coord.register_input_guard(Guard(lambda c, m: "sanitised", refusal_message=REFUSED))
    coord.register_neural_guard(neural)

    def once():
        h.outcome(coord.process_input(TEXT, None), "neural verdict", (TD, TD))
        expect(neural.take_calls() == 1, "neural step ran once")

    return once


@path("pipeline/input_audit_mode")
def _(h):
    coord = h.coordinator(audit_mode=True)
    coord.register_input_guard(Guard(lambda c, m: REFUSED, refusal_message=REFUSED))
    coord.register_neural_guard(Guard(lambda c, m: REDACTED))
    return lambda: h.outcome(coord.process_input(TEXT), TEXT, (TD, "INFO", TD, "INFO"))


@path("pipeline/input_none_reaches_neural_step")
def _(h):
    coord = h.coordinator()
    coord.register_input_guard(Guard(lambda c, m: None, refusal_message=REFUSED))
    coord.register_neural_guard(Guard(lambda c, m: c))
    message = "Argument 'content' has incorrect type (expected str, got NoneType)"

    def once():
        expect_raises(TypeError, message, coord.process_input, TEXT)
        expect(h.audit.take() == (TD,), "heuristic detection only")

    return once


class UnreadableRefusal(Guard):
    """A heuristic guard whose refusal_message raises ``error_type``."""

    error_type: type = RuntimeError

    @property
    def refusal_message(self):
        raise self.error_type("refusal unreadable")


def _refusal_failure_row(name, guard_factory, events, printed="", *, fail_on=()):
    """A refusal test that raises is the heuristic guard's module error: its
    sanitised result is dropped and the neural step scans the prompt itself."""

    def factory(h):
        coord = h.coordinator()
        neural = Guard(lambda c, m: c)
        coord.register_input_guard(guard_factory())
        coord.register_neural_guard(neural)
        h.audit.fail_on = frozenset(fail_on)

        def once():
            h.outcome(coord.process_input(TEXT), TEXT, events, printed)
            expect(neural.take_calls() == 1, "neural step ran on the prompt")

        return once

    path("pipeline/" + name)(factory)


_refusal_failure_row("input_refusal_lookup_raises", lambda: UnreadableRefusal(lambda c, m: "sanitised"), (TD, IME))
_refusal_failure_row("input_refusal_truth_raises",
                     lambda: Guard(lambda c, m: "sanitised", refusal_message=TruthRaises()), (TD, IME))
_refusal_failure_row("input_refusal_comparison_raises",
                     lambda: Guard(lambda c, m: "sanitised", refusal_message=EqRaises(REFUSED)), (TD, IME))
_refusal_failure_row("input_refusal_error_unrecorded", lambda: UnreadableRefusal(lambda c, m: "sanitised"),
                     (TD, IME), LAST_RESORT + "audit sink unavailable", fail_on=(IME,))


@path("pipeline/input_refusal_base_exception")
def _(h):
    class Interrupting(UnreadableRefusal):
        error_type = KeyboardInterrupt

    coord = h.coordinator()
    neural = Guard(lambda c, m: c)
    coord.register_input_guard(Interrupting(lambda c, m: c))
    coord.register_neural_guard(neural)

    def once():
        expect_raises(KeyboardInterrupt, "refusal unreadable", coord.process_input, TEXT)
        expect(h.audit.take() == () and neural.take_calls() == 0, "nothing recorded, no neural step")

    return once


@path("pipeline/input_refusal_last_resort_fails")
def _(h):
    coord = h.coordinator()
    coord.register_input_guard(UnreadableRefusal(lambda c, m: c))
    h.audit.fail_on = frozenset({IME})

    def once():
        h.out.fail = True
        try:
            expect_raises(OSError, "standard output closed", coord.process_input, TEXT)
        finally:
            h.out.fail = False
        expect(h.audit.take() == (IME,), "event before the failing print")

    return once


@path("pipeline/output_redacted")
def _(h):
    coord = h.coordinator()
    coord.register_output_shield(Guard(lambda c, m: REDACTED))
    return lambda: h.outcome(coord.process_output(TEXT, {"user": "u"}), REDACTED, (TD,))


@path("pipeline/output_none")
def _(h):
    coord = h.coordinator()
    coord.register_output_shield(Guard(lambda c, m: None))
    return lambda: h.outcome(coord.process_output(TEXT), None, (TD,))


@path("pipeline/return_test")
def _(h):
    coord = h.coordinator()
    coord._run_fail_safe = lambda module, content, metadata, context: 5

    def once():
        expect_raises(TypeError, "Expected str, got int", coord.process_output, TEXT)
        expect_raises(TypeError, "Expected str, got int", coord.process_input, TEXT)

    return once


# ---------------------------------------------------------------- binding errors

VALID = {"guard": None, "shield": None, "module": None, "content": TEXT, "metadata": None, "context": "Output",
         "timeout_ms": 50, "audit_mode": False}


def _binding_cases(method: str):
    """(kind, positional values, keyword pairs, exception, message)."""
    params, low = [p.name for p in SIGNATURES[method]], required_count(method)
    s = SELF  # stands for the harness's coordinator
    required = [s] + [VALID[p] for p in params[1:low]]
    everything = [s] + [VALID[p] for p in params[1:]]
    yield "too_many", [*everything, None], [], TypeError, count_error(method, len(params) + 1)
    yield "too_many_with_keywords", [*everything, None], [("bogus", 1)], TypeError, count_error(method, len(params) + 1)
    yield "too_few", required[:-1], [], TypeError, count_error(method, low - 1)
    yield "unexpected_keyword", required, [("bogus", 1)], TypeError, \
        f"{method}() got an unexpected keyword argument 'bogus'"
    yield "keyword_filled_by_position", required, [("self", s)], TypeError, \
        f"{method}() got multiple values for keyword argument 'self'"
    yield "name_not_a_string", required, [(1, 1)], TypeError, f"{method}() keywords must be strings"
    yield "dict_key_not_a_string", required, [(1, 1)], TypeError, "keywords must be strings"
    yield "name_comparison_raises", [s], [(EqRaises(params[1]), 1)], ArithmeticError, "name comparison failed"
    yield "same_parameter_twice", [s], [(params[1], None), (OtherHash(params[1]), None)], TypeError, \
        f"{method}() got multiple values for keyword argument '{params[1]}'"
    if method == "__init__":
        yield "missing_after_keywords", [], [("timeout_ms", 5)], TypeError, count_error(method, 0)
    else:
        yield "missing_after_keywords", [], [("self", s)], TypeError, count_error(method, 1)
    bad_values = {
        "content": [None, StrSub("x"), b"x"],
        "context": [5, StrSub("Output")],
        "metadata": [[], OrderedDict()],
    }
    if method == "_safe_scan":
        del bad_values["content"], bad_values["context"]
    for param, cases in bad_values.items():
        if param not in params:
            continue
        required_type = dict if param == "metadata" else str
        for value in cases:
            args = list(everything)
            args[params.index(param)] = value
            message = type_error(param, required_type, value)
            yield f"type_{param}_{type(value).__name__}", args, [], TypeError, message
    if method == "__init__":
        yield "timeout_not_a_number", [s, "50"], [], TypeError, \
            "Argument 'timeout_ms' has incorrect type (expected int, got str)"
        yield "timeout_conversion_fails", [s, math.nan], [], ValueError, "cannot convert float NaN to integer"
        yield "audit_mode_truth_raises", [s, 5, TruthRaises()], [], LookupError, "truth unknown"


class _Self:
    pass


SELF = _Self()  # placeholder replaced by the harness coordinator


def _binding_paths():
    for method in SIGNATURES:
        for kind, args, pairs, exc, message in _binding_cases(method):
            names = tuple(name for name, _ in pairs)
            routes = ["vectorcall", "classic"]
            if kind == "name_not_a_string":
                routes = ["vectorcall"]
            elif kind == "dict_key_not_a_string":
                routes = ["classic"]

            for route in routes:

                def factory(h, method=method, args=args, pairs=pairs, names=names, exc=exc, message=message,
                            route=route):
                    func = GC.__dict__[method]
                    positional = [h.coord if a is SELF else a for a in args]
                    values = [h.coord if v is SELF else v for _, v in pairs]
                    if route == "classic":
                        kwargs = dict(zip(names, values, strict=False))
                        expect(len(kwargs) == len(names), "keyword names survive the dict")
                        return lambda: expect_raises(exc, message, lambda: func(*positional, **kwargs))
                    if writable(names):
                        # A real call site: the interpreter's own vectorcall with interned names.
                        caller = written_call(len(positional), names)
                        return lambda: expect_raises(exc, message, caller, func, positional, values)
                    everything = positional + values
                    return lambda: expect_raises(exc, message, vectorcall, func, everything, names)

                path(f"binding/{method}/{kind}/{route}")(factory)


_binding_paths()


# ---------------------------------------------------------------- introspection and import



@path("introspect/signatures")
def _(h):
    def once():
        for name in SIGNATURES:
            params = inspect.signature(GC.__dict__[name]).parameters
            expect(list(params) == [p.name for p in SIGNATURES[name]], "parameters")
        expect(list(inspect.signature(h.coord.process_input).parameters) == ["content", "metadata"], "bound")
        expect(list(inspect.signature(GC).parameters) == ["timeout_ms", "audit_mode"], "class")

    return once


@path("introspect/defaults_replaced")
def _(h):
    func = GC.__dict__["process_output"]
    original = func.__defaults__
    replacement = ({"not": "used"},)

    def once():
        expect(func.__defaults__ == (None,), "exposed defaults")
        func.__defaults__ = replacement
        try:
            expect(h.coord.process_output(TEXT) is TEXT, "binding keeps its own defaults")
        finally:
            func.__defaults__ = original
        func.__defaults__ = None
        func.__defaults__ = original

    return once


@path("introspect/doc_replaced")
def _(h):
    func = GC.__dict__["register_neural_guard"]
    original = func.__doc__

    def once():
        expect(func.__doc__.startswith("Registers the semantic AI guard"), "doc")
        func.__doc__ = "replaced"
        func.__doc__ = original

    return once


@path("introspect/attributes")
def _(h):
    def once():
        for name in SIGNATURES:
            func = GC.__dict__[name]
            expect(func.__name__ == name and func.__qualname__ == "GovernanceCoordinator." + name, "names")
            expect(func.__module__ == "coordinator" and func.__kwdefaults__ is None, "module")
            expect(type(func.__annotations__) is dict and func.__code__.co_varnames[0] == "self", "annotations")
            expect(func.__globals__ is vars(coordinator_module), "globals")
            expect(repr(func).startswith("<function GovernanceCoordinator."), "repr")
            expect(func.__get__(None, GC) is func and func.__get__(h.coord, GC).__self__ is h.coord, "descriptor")
            func.note = name
            del func.note

    return once


@path("module/reimport")
def _(h):
    name = coordinator_module.__name__

    def once():
        del sys.modules[name]
        expect(importlib.import_module(name) is coordinator_module, "same module object")

    return once


@path("module/reload")
def _(h):
    return lambda: expect(importlib.reload(coordinator_module) is coordinator_module, "same module object")


# ---------------------------------------------------------------- command line


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-k", dest="select", action="append", default=[], help="run paths whose name contains TEXT")
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--warmup", type=int, default=WARMUP)
    parser.add_argument("--calls", type=int, default=CALLS)
    parser.add_argument("--json", action="store_true", help="print {path: [[refs, blocks], ...]} as JSON")
    parser.add_argument("--list", action="store_true")
    options = parser.parse_args(argv)
    names = [n for n in PATHS if not options.select or any(s in n for s in options.select)]
    if options.list:
        print("\n".join(names))
        return 0
    if not hasattr(sys, "gettotalrefcount"):
        print("needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    results = {}
    for name in names:
        results[name] = measure(PATHS[name], options.warmup, options.rounds, options.calls)
        if not options.json:
            verdict = "ok  " if all(d == (0, 0) for d in results[name]) else "LEAK"
            print(f"{verdict} {name}: {results[name]}", flush=True)
    if options.json:
        print(json.dumps({"module": coordinator_module.__file__, "paths": results}))
    return 0 if all(all(d == (0, 0) for d in deltas) for deltas in results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
