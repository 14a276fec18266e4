"""Shared fixtures for the coordinator tests.

Audit events and log lines are captured by replacing the module globals
``log_audit`` and ``logger``: the coordinator reads both afresh at each use.
Security modules are scripted ``Guard`` objects that record every scan.
"""

import os
import sys
import threading
from dataclasses import dataclass
from typing import Any

import pytest

import norv.core.coordinator as coordinator_module
from support import StrSub  # noqa: F401  (tests import it from here too)

GC = coordinator_module.GovernanceCoordinator

#: Wall-clock bounds are multiplied by this where code runs slower than native
#: (the ARM emulation run sets it).
TIME_SCALE = float(os.environ.get("NORV_TEST_TIME_SCALE", "1"))

#: Forked children that start threads: qemu-user (the ARM run) kills them.
needs_threads_after_fork = pytest.mark.skipif(
    TIME_SCALE > 1, reason="the emulator cannot start threads in a forked child of a threaded process")

#: The run under AddressSanitizer preloads its runtime into every interpreter.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

#: Limit for tests that must not time out: generous, so a loaded machine never
#: turns a scan into a TIMEOUT.
LONG_MS = round(10_000 * TIME_SCALE)
#: Limit for time-out tests; the scans they run block on a gate instead of sleeping.
SHORT_MS = 20
#: Backstop for anything a test waits on, so a fault cannot hang the run.
BACKSTOP = 30 * TIME_SCALE


@dataclass
class AuditCall:
    args: tuple
    kwargs: dict
    thread: threading.Thread
    handled: Any  # sys.exception() as seen inside log_audit

    @property
    def event(self):
        return self.args[1]

    @property
    def details(self):
        return self.args[2]


class FakeLogger:
    """Stands in for the module-level logger; records ``info`` calls."""

    def __init__(self):
        self.infos = []  # (args, kwargs, thread)
        self.fail = None

    def info(self, *args, **kwargs):
        self.infos.append((args, kwargs, threading.current_thread()))
        if self.fail is not None:
            raise self.fail


class AuditLog:
    """Stands in for ``log_audit``. ``fail`` maps an event name to the exception
    raised after the call has been recorded."""

    def __init__(self):
        self.calls = []
        self.fail = {}
        self.logger = FakeLogger()
        self.caller = threading.main_thread()  # the thread expected to write

    def __call__(self, *args, **kwargs):
        self.calls.append(AuditCall(args, kwargs, threading.current_thread(), sys.exception()))
        exc = self.fail.get(args[1]) if len(args) > 1 else None
        if exc is not None:
            raise exc

    @property
    def events(self):
        """(event, [(key, value), ...]) per call; key order matters."""
        return [(c.event, list(c.details.items())) for c in self.calls]

    @property
    def names(self):
        return [c.event for c in self.calls]

    @property
    def info_lines(self):
        return [args for args, _, _ in self.logger.infos]


@pytest.fixture
def audit(monkeypatch):
    log = AuditLog()
    monkeypatch.setattr(coordinator_module, "log_audit", log)
    monkeypatch.setattr(coordinator_module, "logger", log.logger)
    yield log
    # The call contract holds for every event any test writes: three positional
    # arguments, an exact dict, all on the caller's thread (never a worker).
    main = log.caller
    for call in log.calls:
        assert len(call.args) == 3 and call.kwargs == {}, call
        assert call.args[0] is log.logger
        assert type(call.details) is dict
        assert call.thread is main, call.thread.name
    for args, kwargs, thread in log.logger.infos:
        assert len(args) == 1 and kwargs == {} and thread is main


@dataclass
class ScanCall:
    args: tuple
    kwargs: dict
    thread_name: str


_UNSET = object()


class Guard:
    """Scripted security module. ``behaviour(content, metadata)`` gives the
    result; the default lets the text pass unchanged."""

    def __init__(self, behaviour=None, refusal_message=_UNSET):
        self.behaviour = behaviour or (lambda content, metadata: content)
        self.calls = []
        self.done = threading.Event()
        if refusal_message is not _UNSET:
            self.refusal_message = refusal_message

    @classmethod
    def returning(cls, value, **kw):
        return cls(lambda content, metadata: value, **kw)

    @classmethod
    def raising(cls, exc):
        def behaviour(content, metadata):
            raise exc

        return cls(behaviour)

    def scan(self, *args, **kwargs):
        self.calls.append(ScanCall(args, kwargs, threading.current_thread().name))
        try:
            return self.behaviour(*args, **kwargs)
        finally:
            self.done.set()

    @property
    def contents(self):
        return [c.args[0] for c in self.calls]


class FalsyGuard(Guard):
    """A module whose truth value is false (length 0): counts as absent."""

    def __len__(self):
        return 0


@pytest.fixture
def gate():
    """An event that blocked scans wait on; released at teardown so abandoned
    scans give their workers back (the interpreter joins pool threads at exit)."""
    event = threading.Event()
    yield event
    event.set()


@pytest.fixture
def blocking(gate):
    """A behaviour that holds its worker until the gate opens."""

    def behaviour(content, metadata):
        gate.wait(BACKSTOP)
        return "late result"

    return behaviour


@pytest.fixture
def make_coord():
    pools = []

    def make(timeout_ms=LONG_MS, audit_mode=False, cls=GC, **guards):
        coord = cls(timeout_ms, audit_mode)
        for slot, module in guards.items():
            getattr(coord, "register_" + slot)(module)
        pools.append(coord._executor)
        return coord

    yield make
    for pool in pools:
        pool.shutdown(wait=False)
