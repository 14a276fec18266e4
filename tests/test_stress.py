"""Thread stress: eight host threads on two coordinators, while another thread
keeps re-registering guards and flipping ``audit_mode``.

Every prompt carries the directives for the guards that will see it
("h=detect n=raise o=pass"), so whichever guard object is registered at the
moment behaves as that call asked: answer at once (unchanged, sanitised,
refused, None, a wrong type), raise, or overrun the time limit. The audit
events of each call are recorded on the host thread that made it, so each call
is checked on its own: its result (or exception) and its events must be one of
the outcomes the coordinator may produce for what its guards did, allowing for
what a concurrent registration or audit-mode flip, or a time-out under load,
may change. Coordinator A has its audit mode flipped and its neural slot
emptied now and then; B keeps audit mode off and all three slots filled, so
B's outcomes are checked strictly. A watchdog bounds the whole test:
a deadlock fails it instead of hanging the run.
"""

from __future__ import annotations

import collections
import faulthandler
import os
import random
import re
import sys
import threading
import time

import pytest

import norv.core.coordinator as coordinator_module

GC = coordinator_module.GovernanceCoordinator

# How much slower than the host this interpreter runs (set under emulation):
# limits and the bound widen by it, and the default number of calls shrinks.
TIME_SCALE = max(1, int(os.environ.get("NORV_TEST_TIME_SCALE", "1")))
CALLS = int(os.environ.get("NORV_STRESS_CALLS", str(max(2000, 20000 // TIME_SCALE))))  # pipeline calls
HOSTS = 8
BOUND_SECONDS = 300 * TIME_SCALE  # generous: a run takes well under a minute; beyond this it has hung

REFUSED = "Request refused by policy."
HEURISTIC = {"pass": 30, "detect": 20, "refuse": 8, "none": 6, "raise": 12, "overrun": 3, "wrongtype": 6}
LATER = {"pass": 34, "detect": 24, "none": 6, "raise": 14, "overrun": 3, "wrongtype": 6}
TD, TO, IME = "THREAT_DETECTED", "TIMEOUT", "INTERNAL_MODULE_ERROR"
NONE_TO_NEURAL = "Argument 'content' has incorrect type (expected str, got NoneType)"


def directive(text: str, role: str) -> str:
    match = re.search(rf"\b{role}=(\w+)", text)
    return match.group(1) if match else "pass"


class ScriptedGuard:
    """Does what the text it scans asks of its role ("h", "n" or "o")."""

    def __init__(self, name: str, role: str, overrun_seconds: float, threads: set):
        self.name = name
        self.role = role
        self.overrun_seconds = overrun_seconds
        self.threads = threads
        if role == "h":
            self.refusal_message = REFUSED

    def scan(self, content, metadata):
        self.threads.add(threading.current_thread().name)
        call = re.match(r"#(\d+) ", content)
        if metadata is not None and (call is None or metadata.get("call") != int(call.group(1))):
            return "METADATA MISMATCH"  # fails the call's check
        what = directive(content, self.role)
        if what == "detect":
            return content.replace(f"{self.role}=detect", f"{self.role}=cleaned-by-{self.name}")
        if what == "refuse":
            return REFUSED
        if what == "none":
            return None
        if what == "raise":
            raise ValueError(f"{self.name} failed")
        if what == "wrongtype":
            return content.encode()
        if what == "overrun":
            time.sleep(self.overrun_seconds)
        return content


class Recorder:
    """log_audit and logger: events go to the list of the host thread that writes them."""

    def __init__(self):
        self.logs: dict = {}
        self.stray: list = []

    def log_for(self, thread_id: int) -> list:
        return self.logs.setdefault(thread_id, [])

    def _append(self, entry):
        log = self.logs.get(threading.get_ident())
        if log is None:
            self.stray.append((threading.current_thread().name, entry))
        else:
            log.append(entry)

    def __call__(self, logger, event, details):
        self._append((event, list(details.items())) if logger is self else ("BAD LOGGER", logger))

    def info(self, message):
        self._append(("INFO", message))


class Mismatch(AssertionError):
    pass


def expect(condition, what):
    if not condition:
        raise Mismatch(what)


class Checker:
    """The outcomes a call may have, walked along the events it wrote."""

    def __init__(self, coordinators: dict):
        self.coordinators = coordinators  # name -> (limit in seconds, strict, guard names by role)
        self.consumed = collections.Counter()

    def step(self, coord: str, label: str, role: str, inputs: set, events: list):
        """Consumes one step's events; returns the set of texts it may have passed on."""
        limit, strict, names = self.coordinators[coord]
        if not events or events[0][0] == "INFO" or dict(events[0][1]).get("module") != label:
            # Nothing written: the guard let the text through. An overrunning
            # scan may too: the limit bounds the wait, which starts only when
            # the host thread gets the interpreter back after submitting, so a
            # scan that began earlier can finish inside it. (A's neural slot may
            # also have been emptied between the pipeline's two reads.)
            expect((role == "n" and not strict) or all(directive(t, role) in ("pass", "overrun") for t in inputs),
                   f"{label}: no event")
            return inputs, events
        event, details = events[0]
        wanted = {directive(t, role) for t in inputs}
        expect(len(wanted) == 1, f"{label}: inputs disagree {inputs}")
        (what,) = wanted
        self.consumed[event] += 1
        if event == TO:
            expect(details == [("module", label), ("limit_sec", limit), ("action", "FAIL_OPEN")], details)
            return inputs, events[1:]
        if event == IME:
            expect(what == "raise", f"{label}: error for {what}")
            expect(details[0] == ("module", label) and details[2] == ("action", "FAIL_OPEN"), details)
            expect(details[1][0] == "error" and details[1][1] in {f"{n} failed" for n in names[role]}, details)
            return inputs, events[1:]
        expect(event == TD and what in {"detect", "refuse", "none", "wrongtype"}, f"{label}: {event} for {what}")
        sizes = {len(t.encode()) for t in inputs}
        expect([k for k, _ in details] == ["module", "outcome", "size_bytes"], details)
        expect(details[0][1] == label and details[2][1] in sizes, details)
        outcome = details[1][1]
        expect(outcome == "BLOCKED" if strict else outcome in ("BLOCKED", "AUDIT_ONLY"), details)
        rest = events[1:]
        if rest and rest[0] == ("INFO", "Audit Mode: Passing input despite detection in " + label):
            expect(not strict, f"{label}: audit-mode line on a blocking coordinator")
            self.consumed["INFO"] += 1
            return inputs, rest[1:]
        if what == "wrongtype":
            expect(rest and rest[0] == (IME, [("module", label), ("error", "Expected str, got bytes"),
                                              ("action", "FAIL_OPEN")]), rest[:1])
            self.consumed[IME] += 1
            return inputs, rest[1:]
        if what == "refuse":
            return {REFUSED}, rest
        if what == "none":
            return {None}, rest
        return {t.replace(f"{role}=detect", f"{role}=cleaned-by-{n}") for t in inputs for n in names[role]}, rest

    def call(self, record):
        coord, kind, content, outcome, events = record
        before = self.consumed.copy()
        try:
            self._call(coord, kind, content, outcome, events)
        except Mismatch:
            self.consumed = before
            raise

    def _call(self, coord, kind, content, outcome, events):
        if kind == "output":
            passed, rest = self.step(coord, "Output", "o", {content}, events)
            expect(not rest, f"events left over: {rest}")
            expect(outcome[0] == "returned" and outcome[1] in passed, f"{outcome} not in {passed}")
            return
        passed, rest = self.step(coord, "InputHeuristic", "h", {content}, events)
        if passed == {REFUSED}:
            expect(not rest and outcome == ("returned", REFUSED), f"refusal: {outcome}, {rest}")
            return
        strict = self.coordinators[coord][1]
        if passed == {None}:
            # A registered neural guard refuses None at its argument test.
            allowed = [("raised", NONE_TO_NEURAL)] + ([] if strict else [("returned", None)])
            expect(not rest and outcome in allowed, f"None: {outcome}")
            return
        if not strict and not rest and outcome[0] == "returned" and outcome[1] in passed:
            return  # A's neural slot may be empty, or emptied between the pipeline's reads
        final, rest = self.step(coord, "InputNeural", "n", passed, rest)
        expect(not rest, f"events left over: {rest}")
        expect(outcome[0] == "returned" and outcome[1] in final, f"{outcome} not in {final}")


def host(index, coords, recorder, records, failures, seed):
    rng = random.Random(seed)
    log = recorder.log_for(threading.get_ident())
    share = CALLS // HOSTS + (index < CALLS % HOSTS)
    try:
        for n in range(share):
            call = index + n * HOSTS
            coord_name = rng.choice("AB")
            kind = rng.choice(("input", "output"))
            h = rng.choices(list(HEURISTIC), list(HEURISTIC.values()))[0]
            later = rng.choices(list(LATER), list(LATER.values()), k=2)
            content = f"#{call} h={h} n={later[0]} o={later[1]} ✓ é"
            metadata = {"call": call} if call % 2 else None
            mark = len(log)
            coord = coords[coord_name]
            try:
                if kind == "input":
                    outcome = ("returned", coord.process_input(content, metadata))
                else:
                    outcome = ("returned", coord.process_output(content, metadata=metadata))
            except TypeError as exc:
                outcome = ("raised", str(exc))
            records.append((coord_name, kind, content, outcome, log[mark:]))
    except BaseException as exc:
        failures.append((threading.current_thread().name, repr(exc)))


def registrar(coords, guards, stop, counts, seed):
    rng = random.Random(seed)
    slots = (("h", "register_input_guard"), ("n", "register_neural_guard"), ("o", "register_output_shield"))
    while not stop.is_set():
        name = rng.choice("AB")
        role, method = rng.choice(slots)
        # Only A's neural slot is ever emptied; B always has all three guards.
        choices = guards[name][role] + ([None] if role == "n" and name == "A" else [])
        getattr(coords[name], method)(rng.choice(choices))
        counts["registrations"] += 1
        if rng.random() < 0.3:
            coords["A"].audit_mode = not coords["A"].audit_mode
            counts["flips"] += 1
        time.sleep(0.0002)


@pytest.fixture
def world(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(coordinator_module, "log_audit", recorder)
    monkeypatch.setattr(coordinator_module, "logger", recorder)
    limits = {"A": 40 * TIME_SCALE, "B": 80 * TIME_SCALE}
    coords = {name: GC(ms, name == "A") for name, ms in limits.items()}
    scan_threads: set = set()
    overrun = {name: (ms + 30 * TIME_SCALE) / 1000 for name, ms in limits.items()}  # seconds past the limit
    guards = {
        name: {role: [ScriptedGuard(f"{name}{role.upper()}{i}", role, overrun[name], scan_threads)
                      for i in range(1, 4)] for role in "hno"}
        for name in limits
    }
    for name, coord in coords.items():
        coord.register_input_guard(guards[name]["h"][0])
        coord.register_neural_guard(guards[name]["n"][0])
        coord.register_output_shield(guards[name]["o"][0])
    checker = Checker({
        name: (ms / 1000, name == "B", {role: [g.name for g in gs] for role, gs in guards[name].items()})
        for name, ms in limits.items()
    })
    yield coords, guards, recorder, checker, scan_threads
    for coord in coords.values():
        coord._executor.shutdown(wait=True)


def test_concurrent_pipelines_keep_their_guarantees(world):
    coords, guards, recorder, checker, scan_threads = world
    # Last line of defence: should a join below ever hang, end the process
    # with every thread's traceback rather than stall the suite.
    faulthandler.dump_traceback_later(BOUND_SECONDS + 120, exit=True)
    try:
        records, failures = [], []
        counts = collections.Counter()
        stop = threading.Event()
        hosts = [threading.Thread(target=host, args=(i, coords, recorder, records, failures, 1000 + i),
                                  name=f"host-{i}", daemon=True) for i in range(HOSTS)]
        changer = threading.Thread(target=registrar, args=(coords, guards, stop, counts, 7), name="registrar",
                                   daemon=True)
        started = time.monotonic()
        changer.start()
        for thread in hosts:
            thread.start()
        deadline = started + BOUND_SECONDS
        for thread in hosts:
            thread.join(max(0.0, deadline - time.monotonic()))
        stop.set()
        changer.join(max(1.0, deadline - time.monotonic()))
        elapsed = time.monotonic() - started
        stuck = [t.name for t in [*hosts, changer] if t.is_alive()]
        if stuck:
            faulthandler.dump_traceback(all_threads=True)
            pytest.fail(f"no progress within {BOUND_SECONDS} s: {stuck} still running")
    finally:
        faulthandler.cancel_dump_traceback_later()

    assert not failures, failures
    assert len(records) == CALLS
    # Audit events, the audit-mode line and the last-resort line are written on the calling thread.
    assert recorder.stray == []
    host_ids = {t.ident for t in hosts}
    assert set(recorder.logs) <= host_ids

    mismatches = []
    for record in records:
        try:
            checker.call(record)
        except Mismatch as exc:
            mismatches.append((exc, record))
    assert not mismatches, f"{len(mismatches)} calls off the allowed outcomes, first: {mismatches[0]}"

    # Every event written is accounted for by exactly one call's outcome.
    written = collections.Counter(entry[0] for log in recorder.logs.values() for entry in log)
    assert written == checker.consumed
    # The run did reach every kind of outcome it is meant to exercise.
    returned = collections.Counter(
        "refused" if r[3] == ("returned", REFUSED) else "none" if r[3] == ("returned", None) else r[3][0]
        for r in records)
    assert min(written[TD], written[TO], written[IME], written["INFO"]) > 0, written
    assert min(returned["refused"], returned["none"], returned["raised"]) > 0, returned
    assert counts["registrations"] > 100 and counts["flips"] > 20, counts

    # Scans ran only on the coordinators' own workers, at most four each.
    assert scan_threads and all(re.fullmatch(r"NORV_Worker_[0-3]", name) for name in scan_threads), scan_threads
    for coord in coords.values():
        assert len(coord._executor._threads) <= 4
    print(f"\n{CALLS} calls in {elapsed:.1f} s; events {dict(written)}; outcomes {dict(returned)}; "
          f"{counts['registrations']} registrations, {counts['flips']} audit-mode flips", file=sys.stderr)


# The checker must be able to say no: outcomes a faulty coordinator could produce.
CHECKER_LIMITS = {"A": (0.04, False, {r: [f"A{r.upper()}1"] for r in "hno"}),
                  "B": (0.08, True, {r: [f"B{r.upper()}1"] for r in "hno"})}


def _td(label, outcome, text):
    return (TD, [("module", label), ("outcome", outcome), ("size_bytes", len(text.encode()))])


_X = "#1 h=detect n=pass o=detect ✓"
_CLEAN_O = _X.replace("o=detect", "o=cleaned-by-BO1")


@pytest.mark.parametrize(
    "record",
    [
        ("B", "output", _X, ("returned", _X), []),  # a detection that wrote nothing and blocked nothing
        ("B", "output", _X, ("returned", _X), [_td("Output", "BLOCKED", _X)]),  # recorded but not blocked
        ("B", "output", _X, ("returned", _CLEAN_O), [_td("Output", "AUDIT_ONLY", _X)]),  # wrong outcome on B
        ("B", "output", _X, ("returned", _CLEAN_O), [_td("InputHeuristic", "BLOCKED", _X)]),  # wrong label
        ("B", "output", _X, ("returned", _CLEAN_O), [_td("Output", "BLOCKED", _X)] * 2),  # an extra event
        ("B", "output", _X, ("returned", _X),
         [_td("Output", "BLOCKED", _X), ("INFO", "Audit Mode: Passing input despite detection in Output")]),
        ("A", "output", "#2 h=pass n=pass o=raise", ("returned", "#2 h=pass n=pass o=raise"), []),  # error unlogged
        ("A", "output", "#3 h=pass n=pass o=pass", ("returned", "#3 h=pass n=pass o=pass"),
         [(IME, [("module", "Output"), ("error", "AO1 failed"), ("action", "FAIL_OPEN")])]),
        ("A", "output", "#4 h=pass n=pass o=overrun", ("returned", "#4 h=pass n=pass o=overrun"),
         [(TO, [("module", "Output"), ("limit_sec", 0.08), ("action", "FAIL_OPEN")])]),  # A's limit is 0.04
        ("B", "input", "#5 h=none n=pass o=pass", ("returned", None),
         [_td("InputHeuristic", "BLOCKED", "#5 h=none n=pass o=pass")]),  # B's neural guard must refuse None
        ("B", "input", "#6 h=refuse n=detect o=pass", ("returned", REFUSED),
         [_td("InputHeuristic", "BLOCKED", "#6 h=refuse n=detect o=pass"),
          _td("InputNeural", "BLOCKED", REFUSED)]),  # the neural step ran after a refusal
        ("B", "input", "#7 h=pass n=detect o=pass", ("returned", "#7 h=pass n=detect o=pass"), []),  # B's neural
    ],
)
def test_checker_refuses_wrong_outcomes(record):
    with pytest.raises(Mismatch):
        Checker(CHECKER_LIMITS).call(record)


def test_checker_accepts_a_neural_step_after_sanitising():
    text = "#8 h=detect n=detect o=pass ✓"
    sanitised = text.replace("h=detect", "h=cleaned-by-BH1")
    final = sanitised.replace("n=detect", "n=cleaned-by-BN1")
    checker = Checker(CHECKER_LIMITS)
    checker.call(("B", "input", text, ("returned", final),
                  [_td("InputHeuristic", "BLOCKED", text), _td("InputNeural", "BLOCKED", sanitised)]))
    assert checker.consumed == {TD: 2}
