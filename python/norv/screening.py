"""Screening with verdicts: one prompt and/or one response through a coordinator.

``GovernanceCoordinator`` returns only the text that may go on. A host (or a
batch job) usually also wants to know what happened to it: was the prompt
refused, was the response redacted, or did a text pass *unscanned* because a
module timed out or failed? This module answers that without changing the
coordinator: it calls ``process_input``/``process_output`` and reads the
verdict from the returned text and from the audit events that the call wrote.

Attribution of events. The coordinator writes every audit event through the
``norv.coordinator`` logger on the calling thread, never on a worker. A
handler on that logger files each event under the screening call that is
running on the current thread, so the events of a call are exactly its own
even when many threads share one coordinator. The coordinator's last-resort
line ("NORV CRITICAL FAILURE: ...", printed when even the audit log fails) is
attributed the same way by a pass-through wrapper of ``sys.stdout``.

Verdicts (:data:`VERDICTS`), decided from the text first:

* ``refused``: the prompt came back as a guard's ``refusal_message`` (or as None);
* ``too_long``: an input guard could not score the prompt because it is over
  the guard's length limit: the prompt came back as the guard's
  ``too_long_message``, or (``on_too_long="pass"``, or audit mode) unchanged
  and **unscanned** by that guard. Such a prompt is never ``refused`` or
  ``passed`` on that guard's account: it found nothing, and it looked at nothing;
* ``sanitised`` / ``redacted``: the prompt / response came back changed;
* otherwise the text came back unchanged, and the events say whether it was
  looked at: ``timed_out`` (a TIMEOUT event), ``over_capacity`` (the admission
  gate's ADMISSION_TIMEOUT event, see :mod:`norv.capacity`), ``module_error``
  (INTERNAL_MODULE_ERROR), ``last_resort`` (a last-resort line), else ``passed``.

A guard in the input or neural slot takes part in ``too_long`` when it has a
``too_long(content)`` method (true when it leaves the prompt unscored for its
length, as ``SemanticGuard``'s does) and a ``too_long_message`` that differs
from every guard's ``refusal_message``. The coordinator writes a
THREAT_DETECTED event when such a guard returns its message; that event is
no detection (:attr:`CallResult.detected` leaves it out) and
:attr:`CallResult.too_long` names its step.

A changed text outranks an unscanned step (a heuristic step that timed out,
or found the prompt too long, before a neural guard refused still gives
``refused``); :attr:`CallResult.unscanned` tells whether any step of the call
passed its text without a scan.
"""

from __future__ import annotations

import logging
import sys
import threading
from collections.abc import Iterable, Mapping
from time import perf_counter as _perf_counter
from typing import Any, NamedTuple

from norv.protocols import Coordinator, Listener
from norv.utils.logger import EventListener
from norv.vocabulary import (
    AUDIT_LOGGER,
    CRITICAL_PREFIX,
    LAST_RESORT,
    STEPS,
    THREAT_DETECTED,
    UNSCANNED_EVENTS,
    UNSCANNED_VERDICTS,
    VERDICTS,
)

__all__ = [
    "AUDIT_LOGGER",
    "CRITICAL_PREFIX",
    "LAST_RESORT",
    "UNSCANNED_EVENTS",
    "UNSCANNED_VERDICTS",
    "VERDICTS",
    "CallResult",
    "Screening",
    "collect_events",
    "request_id",
    "screen",
    "screen_input",
    "screen_output",
]

#: The input slots a length-limited guard can sit in, with the step its events name.
_INPUT_STEPS = STEPS[:2]


class CallResult(NamedTuple):
    """What one ``process_input`` or ``process_output`` call did."""

    #: "process_input" or "process_output".
    call: str
    #: The text that may go on (None where a module returned None).
    text: str | None
    #: One of :data:`VERDICTS`.
    verdict: str
    #: The audit events this call wrote: ``{"event": name, **details}`` each, in order.
    events: tuple[dict[str, Any], ...]
    #: Wall-clock duration of the call.
    seconds: float
    #: The steps ("InputHeuristic", "InputNeural") whose guard left the prompt
    #: unscored for its length; empty for every other call.
    too_long: tuple[str, ...] = ()
    #: Whether a pipeline withheld the text because it went unscanned
    #: (:mod:`norv.pipeline`): ``text`` is then the pipeline's message.
    withheld: bool = False
    #: Why a step detected something: for each step with a detection, in
    #: order, ``{"step", "guard"}`` (the guard's class) and, when the guard
    #: can say (a ``findings(content)`` method), ``"findings"``: a list of
    #: dicts such as ``{"category", "span"}``, ``{"kind", "span"}`` or
    #: ``{"score", "threshold"}``. Empty when nothing was detected.
    reasons: tuple[dict[str, Any], ...] = ()
    #: The caller's request id: the value of the first key of
    #: :data:`REQUEST_ID_KEYS` in its metadata that holds a short str.
    request_id: str | None = None

    @property
    def unscanned(self) -> bool:
        """Whether some step passed its text without a scan (time-out, failure, gate, last resort, too long)."""
        if any(event["event"] in UNSCANNED_EVENTS or event["event"] == LAST_RESORT for event in self.events):
            return True
        # A guard that found the prompt too long either stopped it with its
        # message (a BLOCKED event of its step) or passed it on unscanned.
        return any(not _blocked(self.events, step) for step in self.too_long)

    @property
    def detected(self) -> bool:
        """Whether a module detected something (also in audit mode, where the text passes unchanged).

        The event of a guard that returned its too-long message is not a detection.
        """
        return any(event["event"] == THREAT_DETECTED and event.get("module") not in self.too_long
                   for event in self.events)


def _blocked(events: Iterable[dict[str, Any]], step: str) -> bool:
    """Whether ``step`` changed the text (a detection that was not in audit mode)."""
    return any(event["event"] == THREAT_DETECTED and event.get("module") == step
               and event.get("outcome") == "BLOCKED" for event in events)


class Screening(NamedTuple):
    """The prompt's and the response's results for one record (None for a side not given)."""

    input: CallResult | None = None
    output: CallResult | None = None
    #: The events of both calls, in order.
    events: tuple[dict[str, Any], ...] = ()

    @property
    def unscanned(self) -> bool:
        return any(side is not None and side.unscanned for side in (self.input, self.output))


# --- event attribution ---------------------------------------------------------

_local = threading.local()


class _EventCollector(EventListener):
    """Files each audit event under the screening call running on this thread.

    A listener: adding it never silences the default output on standard error.
    """

    def on_event(self, event: str, details: Mapping[str, Any]) -> None:
        sink = getattr(_local, "sink", None)
        if sink is not None:
            sink.append({"event": event, **details})


class _StdoutWatch:
    """Passes everything through to the wrapped stream; files last-resort lines.

    The coordinator prints its last-resort line with the built-in ``print``, to
    whatever ``sys.stdout`` is then, on the calling thread. A wrapped None
    (``sys.stdout = None``) drops the text as ``print`` would, but the line is
    still filed.
    """

    def __init__(self, stream: Any) -> None:
        self.__dict__["_norv_stream"] = stream

    def write(self, text: str) -> int:
        sink = getattr(_local, "sink", None)
        if sink is not None and text.startswith(CRITICAL_PREFIX):
            sink.append({"event": LAST_RESORT, "error": text[len(CRITICAL_PREFIX):]})
        stream = self.__dict__["_norv_stream"]
        if stream is None:
            return len(text)
        return int(stream.write(text))

    def flush(self) -> None:
        stream = self.__dict__["_norv_stream"]
        if stream is not None:
            stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self.__dict__["_norv_stream"], name)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self.__dict__["_norv_stream"], name, value)


_install_lock = threading.Lock()
_collector: _EventCollector | None = None


def _ensure_collecting() -> None:
    global _collector
    if _collector is None:
        with _install_lock:
            if _collector is None:
                handler = _EventCollector()
                logging.getLogger(AUDIT_LOGGER).addHandler(handler)
                _collector = handler
    if type(sys.stdout) is not _StdoutWatch:
        # Re-wrapped whenever a host (or a test harness) swapped the stream.
        sys.stdout = _StdoutWatch(sys.stdout)


class collect_events:
    """Context manager: the audit events written on this thread meanwhile, as a list.

    Nests: an inner block takes its own events and hands them on to the outer
    one when it ends.
    """

    def __init__(self) -> None:
        self.events: list[dict[str, Any]] = []
        self._outer: list[dict[str, Any]] | None = None

    def __enter__(self) -> list[dict[str, Any]]:
        _ensure_collecting()
        self._outer = getattr(_local, "sink", None)
        _local.sink = self.events
        return self.events

    def __exit__(self, *exc: object) -> None:
        _local.sink = self._outer
        if self._outer is not None:
            self._outer.extend(self.events)


# --- verdicts --------------------------------------------------------------------


def _refusal_messages(coordinator: Coordinator) -> tuple[str, ...]:
    messages = []
    for slot in ("input_guard", "neural_guard"):
        message = getattr(getattr(coordinator, slot, None), "refusal_message", None)
        if type(message) is str and message:
            messages.append(message)
    return tuple(messages)


def _length_limited(coordinator: Coordinator) -> tuple[tuple[str, Any], ...]:
    """(step, guard) for each registered input guard that can say a prompt is too long for it."""
    found = []
    for slot, step in _INPUT_STEPS:
        guard = getattr(coordinator, slot, None)
        if guard is not None and callable(getattr(guard, "too_long", None)):
            found.append((step, guard))
    return tuple(found)


def _changed_input_verdict(prompt: str, text: str | None, coordinator: Coordinator,
                           limited: tuple[tuple[str, Any], ...],
                           events: Iterable[dict[str, Any]]) -> tuple[str, tuple[str, ...]]:
    """The verdict of a prompt that came back changed, and the steps that found it too long."""
    events = tuple(events)
    steps: tuple[str, ...] = ()
    for step, guard in limited:
        if step == "InputHeuristic" and guard.too_long(prompt):
            if _blocked(events, step):
                # The coordinator hands an input guard's too-long message to the
                # neural guard as if it were the prompt: whatever that step made
                # of it, the prompt itself was never scored.
                return "too_long", (step,)
            steps = (step,)  # passed on unscanned
    if text is None or text in _refusal_messages(coordinator):
        return "refused", steps
    for step, guard in limited:
        if step == "InputNeural":
            message = getattr(guard, "too_long_message", None)
            if type(message) is str and text == message:
                return "too_long", (*steps, step)
            # A sanitised prompt the neural guard passed on unscanned, too long
            # for it: the changed text gives the verdict, the step is still unscanned.
            if guard.too_long(text):
                return "sanitised", (*steps, step)
    return "sanitised", steps


def _unchanged_verdict(events: Iterable[dict[str, Any]]) -> str:
    verdict = "passed"
    for event in events:
        name = event["event"]
        if name == LAST_RESORT:
            return "last_resort"
        found = UNSCANNED_EVENTS.get(name)
        if found is not None and verdict == "passed":
            verdict = found
    return verdict


def input_verdict(prompt: str, text: str | None, refusals: Iterable[str], events: Iterable[dict[str, Any]]) -> str:
    if text is None or (text != prompt and text in refusals):
        return "refused"
    if text != prompt:
        return "sanitised"
    return _unchanged_verdict(events)


# --- the API ---------------------------------------------------------------------

#: Objects told of every screening call: ``started(call)`` before it and
#: ``finished(call, result)`` after it (``result`` None when the call raised).
#: Replaced, never changed in place, so a running call keeps the list it began with.
_listeners: tuple[Listener, ...] = ()


def add_listener(listener: Listener) -> None:
    """Tell ``listener`` of every screening call from now on (metrics use this)."""
    global _listeners
    with _install_lock:
        _listeners = (*_listeners, listener)


def remove_listener(listener: Listener) -> None:
    global _listeners
    with _install_lock:
        _listeners = tuple(item for item in _listeners if item is not listener)



def _calling(call: str, coordinator: Coordinator, content: str, metadata: dict[str, Any] | None,
             listeners: tuple[Listener, ...]) -> CallResult:
    """One call with listeners told of it: the slow path of the functions below."""
    for listener in listeners:
        listener.started(call)
    result: CallResult | None = None
    try:
        result = _call(call, coordinator, content, metadata)
    finally:
        for listener in listeners:
            listener.finished(call, result)
    return result


def _call(call: str, coordinator: Coordinator, content: str, metadata: dict[str, Any] | None) -> CallResult:
    # collect_events() inlined: this is the per-call path of batch screening.
    if _collector is None or type(sys.stdout) is not _StdoutWatch:
        _ensure_collecting()
    outer = getattr(_local, "sink", None)
    events: list[dict[str, Any]] = []
    _local.sink = events
    try:
        started = _perf_counter()
        if call == "process_input":
            text = coordinator.process_input(content, metadata)
        else:
            text = coordinator.process_output(content, metadata)
        seconds = _perf_counter() - started
    finally:
        _local.sink = outer
        if outer is not None:
            outer.extend(events)
    too_long: tuple[str, ...] = ()
    if call == "process_output":
        verdict = "redacted" if text != content else _unchanged_verdict(events) if events else "passed"
    else:
        limited = _length_limited(coordinator)
        if text == content:
            # Every input guard saw the prompt itself: the heuristic step
            # returned it unchanged, or passed it on in audit mode.
            if limited:
                too_long = tuple(step for step, guard in limited if guard.too_long(content))
            if too_long:
                verdict = "too_long"
            else:
                verdict = _unchanged_verdict(events) if events else "passed"
        elif limited:
            verdict, too_long = _changed_input_verdict(content, text, coordinator, limited, events)
        else:
            verdict = input_verdict(content, text, _refusal_messages(coordinator), events)
    reasons = _reasons(coordinator, content, events, too_long) if events else ()
    return _new_result(CallResult, (call, text, verdict, tuple(events), seconds, too_long, False, reasons,
                                    request_id(metadata) if metadata else None))


#: Metadata keys whose value is taken as the request's id, in order. Only
#: these: metadata may hold personal data that must not reach metrics.
REQUEST_ID_KEYS: tuple[str, ...] = ("request_id",)
# Ids longer than this are not taken: they end up in logs and metrics.
_REQUEST_ID_MAX = 128


def request_id(metadata: Any) -> str | None:
    """The request id in ``metadata`` (see :data:`REQUEST_ID_KEYS`), or None."""
    if type(metadata) is not dict:
        return None
    for key in REQUEST_ID_KEYS:
        value = metadata.get(key)
        if type(value) is str and 0 < len(value) <= _REQUEST_ID_MAX and value.isprintable():
            return value
    return None


#: The slot of the guard behind each step that writes detections.
_STEP_SLOTS = {step: slot for slot, step in STEPS}
#: Texts longer than this get reasons without findings: asking a guard for its
#: findings scans the text again, on the caller's thread.
REASONS_MAX_CHARS = 100_000


def _reasons(coordinator: Coordinator, content: str, events: Iterable[dict[str, Any]],
             too_long: tuple[str, ...]) -> tuple[dict[str, Any], ...]:
    """Why the steps of a call detected something: the guard, and its findings where it can say."""
    reasons: list[dict[str, Any]] = []
    seen: set[str] = set()
    for event in events:
        step = event.get("module")
        if event["event"] != THREAT_DETECTED or step in seen or step in too_long or step not in _STEP_SLOTS:
            continue
        seen.add(step)
        guard = getattr(coordinator, _STEP_SLOTS[step], None)
        if guard is None:
            continue
        reason: dict[str, Any] = {"step": step, "guard": type(guard).__qualname__}
        explain = getattr(guard, "findings", None)
        if callable(explain) and type(content) is str and len(content) <= REASONS_MAX_CHARS:
            try:
                found = explain(content)
            except Exception:
                # A guard that cannot explain itself still decided.
                found = None
            if isinstance(found, list) and found:
                reason["findings"] = found
        reasons.append(reason)
    return tuple(reasons)


#: CallResult without its Python-level ``__new__`` frame: one per screening call.
_new_result = tuple.__new__


def screen_input(coordinator: Coordinator, prompt: str, metadata: dict[str, Any] | None = None) -> CallResult:
    """``coordinator.process_input(prompt, metadata)`` with its verdict and events.

    Whatever the call raises (only what the coordinator lets through: argument
    errors, KeyboardInterrupt and the like) propagates.
    """
    listeners = _listeners
    if listeners:
        return _calling("process_input", coordinator, prompt, metadata, listeners)
    return _call("process_input", coordinator, prompt, metadata)


def screen_output(coordinator: Coordinator, response: str, metadata: dict[str, Any] | None = None) -> CallResult:
    """``coordinator.process_output(response, metadata)`` with its verdict and events."""
    listeners = _listeners
    if listeners:
        return _calling("process_output", coordinator, response, metadata, listeners)
    return _call("process_output", coordinator, response, metadata)


def screen(coordinator: Coordinator, prompt: str | None = None, response: str | None = None,
           metadata: dict[str, Any] | None = None) -> Screening:
    """Screen a record: the prompt through ``process_input``, the response through ``process_output``.

    Both sides are screened when both are given, also when the prompt is
    refused (recorded traffic may hold the response anyway).
    """
    if prompt is None and response is None:
        raise ValueError("screen() needs a prompt, a response or both")
    listeners = _listeners
    if listeners:
        result_in = _calling("process_input", coordinator, prompt, metadata, listeners) if prompt is not None else None
        result_out = (_calling("process_output", coordinator, response, metadata, listeners)
                      if response is not None else None)
    else:
        result_in = _call("process_input", coordinator, prompt, metadata) if prompt is not None else None
        result_out = _call("process_output", coordinator, response, metadata) if response is not None else None
    if result_in is None:
        return Screening(None, result_out, result_out.events)  # type: ignore[union-attr]
    if result_out is None:
        return Screening(result_in, None, result_in.events)
    return Screening(result_in, result_out, result_in.events + result_out.events)
