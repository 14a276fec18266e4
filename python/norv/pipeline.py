"""A screening pipeline that applications can act on: checked guards, a size
cap before the pool, a policy for text that went unscanned, and a warm start.

The coordinator fails open by contract: a text whose scan timed out, failed or
waited too long for a worker goes on unchanged, with an audit event. That is
right for the coordinator (it never blocks its host), and wrong for most
applications, which would forward such a prompt to the model. A
:class:`Pipeline` screens through :mod:`norv.screening` and then applies its
``unscanned`` policy to every text some step did not scan:

* ``"pass"``: the text goes on, as from the coordinator (the verdict says it
  was unscanned: ``timed_out``, ``over_capacity``, ``module_error``,
  ``last_resort``, ``too_long``);
* ``"refuse"``: the text is withheld and :attr:`CallResult.text` is the
  pipeline's ``unscanned_message``; the verdict still says why
  (:attr:`CallResult.withheld` is true);
* ``"raise"``: :class:`UnscannedError` is raised, carrying the result.

The trade-off: with ``"refuse"`` or ``"raise"``, an overloaded or failing guard
turns into refused requests (an outage of the feature) instead of unscreened
ones (a hole in the defence). Security-sensitive applications want that.

``max_chars`` caps a text's length before it reaches the pool: a longer text
is never scanned, gets the verdict ``too_long`` and a ``TEXT_TOO_LONG`` audit
event of the pipeline's own, and then the unscanned policy. A few huge prompts
can no longer hold every worker while short ones wait.

Building a pipeline checks every guard (a callable ``scan`` that accepts
``(content, metadata)``; an input guard's ``refusal_message``, when it has
one, a non-empty str) and raises ``TypeError`` naming the guard that is not
one, so a broken guard fails at start and not as a ``module_error`` on every
call. It then warms each guard (its ``warm()`` when it has one, else one scan
of a short text) and starts every worker thread, so the first real call is
not the one that pays for imports, compiled patterns and models.
"""

from __future__ import annotations

import inspect
import threading
from collections.abc import Callable
from typing import Any, TypeVar

from norv import capacity, screening
from norv import pool as pools
from norv.screening import CallResult, Screening
from norv.vocabulary import TEXT_TOO_LONG

__all__ = ["DEFAULT_UNSCANNED_MESSAGE", "TOO_LONG_EVENT", "UNSCANNED_POLICIES", "Pipeline", "UnscannedError",
           "check_guard"]

#: What a pipeline may do with a text that some step did not scan.
UNSCANNED_POLICIES = ("pass", "refuse", "raise")
#: The text that stands in for a withheld one, unless the pipeline is given its own.
DEFAULT_UNSCANNED_MESSAGE = "This text could not be screened, so it was not passed on."
#: The audit event of a text over the pipeline's ``max_chars``.
TOO_LONG_EVENT = TEXT_TOO_LONG

_SLOTS = (("input_guard", "register_input_guard"), ("neural_guard", "register_neural_guard"),
          ("output_shield", "register_output_shield"))
_STEPS = {"process_input": "PipelineInput", "process_output": "PipelineOutput"}
# A harmless text each guard scans once at start when it has no warm() of its own.
_WARM_TEXT = "Hello, could you summarise this paragraph for me?"
_T = TypeVar("_T")


class UnscannedError(RuntimeError):
    """A text went unscanned and the pipeline's policy is ``"raise"``."""

    def __init__(self, result: CallResult) -> None:
        super().__init__(f"{result.call}: the text went unscanned ({result.verdict})")
        self.result = result


def _name(guard: object) -> str:
    return type(guard).__qualname__ if not isinstance(guard, (str, bytes, int, float)) else repr(guard)


def check_guard(guard: object, slot: str = "guard") -> None:
    """Raise ``TypeError`` naming ``guard`` unless the coordinator can run it.

    It must have a callable ``scan`` that accepts ``(content, metadata)``; an
    input or neural guard's ``refusal_message``, when not None, must be a
    non-empty str (an empty one would make refusals look like sanitised text).
    A ``scan`` whose signature Python cannot read (some built-ins) is trusted.
    """
    scan = getattr(guard, "scan", None)
    if not callable(scan):
        raise TypeError(f"{slot} {_name(guard)} is not a guard: it has no callable scan(content, metadata)")
    try:
        signature = inspect.signature(scan)
    except (TypeError, ValueError):
        signature = None
    if signature is not None:
        try:
            signature.bind("", None)
        except TypeError:
            raise TypeError(
                f"{slot} {_name(guard)}: scan{signature} cannot be called as scan(content, metadata)"
            ) from None
    if slot != "output_shield":
        message = getattr(guard, "refusal_message", None)
        if message is not None and (type(message) is not str or not message):
            raise TypeError(f"{slot} {_name(guard)}: refusal_message must be None or a non-empty str")


class Pipeline:
    """A coordinator with checked guards, a size cap and an unscanned policy.

    ``timeout_ms`` and ``audit_mode`` are the coordinator's. ``workers`` gives
    its pool that many threads (:func:`norv.capacity.set_workers`);
    ``max_wait`` (seconds) puts an admission gate in front of the pool with that
    bound (:func:`norv.capacity.install_gate`). ``warm=False`` skips the warm
    start. The coordinator is :attr:`coordinator`; :meth:`close` ends its
    workers.
    """

    def __init__(
        self,
        input_guard: Any = None,
        neural_guard: Any = None,
        output_shield: Any = None,
        *,
        timeout_ms: int = 50,
        audit_mode: bool = False,
        unscanned: str = "pass",
        unscanned_message: str = DEFAULT_UNSCANNED_MESSAGE,
        max_chars: int | None = None,
        workers: int | None = None,
        max_wait: float | None = None,
        warm: bool = True,
    ) -> None:
        self.unscanned = _policy(unscanned)
        if type(unscanned_message) is not str or not unscanned_message:
            raise ValueError("unscanned_message must be a non-empty str")
        if max_chars is not None and (type(max_chars) is not int or max_chars < 1):
            raise ValueError(f"max_chars must be None or a whole number of at least 1, got {max_chars!r}")
        guards = {"input_guard": input_guard, "neural_guard": neural_guard, "output_shield": output_shield}
        for slot, guard in guards.items():
            if guard is not None:
                check_guard(guard, slot)
        from norv.core.coordinator import GovernanceCoordinator

        self.unscanned_message = unscanned_message
        self.max_chars = max_chars
        self.coordinator = GovernanceCoordinator(timeout_ms=timeout_ms, audit_mode=audit_mode)
        for slot, register in _SLOTS:
            if guards[slot] is not None:
                getattr(self.coordinator, register)(guards[slot])
        if workers is not None:
            capacity.set_workers(self.coordinator, workers)
        if max_wait is not None:
            capacity.install_gate(self.coordinator, max_wait=max_wait)
        self._closed = False
        if warm:
            self.warm()

    # --- start and end -----------------------------------------------------------

    def warm(self) -> None:
        """Warm every guard and start every worker thread."""
        for slot, _ in _SLOTS:
            guard = getattr(self.coordinator, slot)
            if guard is None:
                continue
            warm: Callable[[], Any] | None = getattr(guard, "warm", None)
            try:
                if callable(warm):
                    warm()
                else:
                    guard.scan(_WARM_TEXT, None)
            except Exception as exc:
                raise RuntimeError(f"{slot} {_name(guard)} failed to warm up: {exc!r}") from exc
        self._start_workers()

    def _start_workers(self) -> None:
        # A thread pool starts a thread per task while none is idle: tasks that
        # wait for each other make it start them all now.
        workers = pools.workers(self.coordinator)
        pool = pools.worker_pool(self.coordinator)
        barrier = threading.Barrier(workers)
        futures = [pool.submit(barrier.wait, 5.0) for _ in range(workers)]
        for future in futures:
            try:
                future.result(timeout=10.0)
            except Exception:
                # A worker still busy elsewhere: the rest have started anyway.
                barrier.abort()

    def close(self) -> None:
        """End the coordinator's workers once their running scans are done; queued scans are dropped."""
        if self._closed:
            return
        self._closed = True
        pools.executor(self.coordinator).shutdown(wait=False, cancel_futures=True)

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- screening ---------------------------------------------------------------

    def screen_input(self, prompt: str, metadata: dict[str, Any] | None = None, *,
                     unscanned: str | None = None) -> CallResult:
        """:func:`norv.screening.screen_input` with the size cap and the unscanned policy."""
        return self._screen("process_input", prompt, metadata, unscanned)

    def screen_output(self, response: str, metadata: dict[str, Any] | None = None, *,
                      unscanned: str | None = None) -> CallResult:
        """:func:`norv.screening.screen_output` with the size cap and the unscanned policy."""
        return self._screen("process_output", response, metadata, unscanned)

    def screen(self, prompt: str | None = None, response: str | None = None,
               metadata: dict[str, Any] | None = None, *, unscanned: str | None = None) -> Screening:
        """Both sides of a record, as :func:`norv.screening.screen` does, each under the policy.

        With ``"raise"``, the prompt's error is raised before the response is screened.
        """
        if prompt is None and response is None:
            raise ValueError("screen() needs a prompt, a response or both")
        first = self.screen_input(prompt, metadata, unscanned=unscanned) if prompt is not None else None
        second = self.screen_output(response, metadata, unscanned=unscanned) if response is not None else None
        events = (first.events if first else ()) + (second.events if second else ())
        return Screening(first, second, events)

    async def ascreen_input(self, prompt: str, metadata: dict[str, Any] | None = None, *,
                            unscanned: str | None = None) -> CallResult:
        """Awaitable :meth:`screen_input`, run on the coordinator's host threads (:mod:`norv.aio`)."""
        return await self._on_host_thread(self.screen_input, prompt, metadata, unscanned=unscanned)

    async def ascreen_output(self, response: str, metadata: dict[str, Any] | None = None, *,
                             unscanned: str | None = None) -> CallResult:
        """Awaitable :meth:`screen_output`."""
        return await self._on_host_thread(self.screen_output, response, metadata, unscanned=unscanned)

    async def ascreen(self, prompt: str | None = None, response: str | None = None,
                      metadata: dict[str, Any] | None = None, *, unscanned: str | None = None) -> Screening:
        """Awaitable :meth:`screen` (both sides in one host-thread hand-off)."""
        return await self._on_host_thread(self.screen, prompt, response, metadata, unscanned=unscanned)

    async def _on_host_thread(self, method: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
        # Imported here: asyncio is not needed by synchronous users of the pipeline.
        import asyncio
        import functools

        from norv import aio

        call = functools.partial(method, *args, **kwargs)
        return await asyncio.get_running_loop().run_in_executor(aio.host_threads(self.coordinator), call)

    def _screen(self, call: str, text: str, metadata: dict[str, Any] | None, unscanned: str | None) -> CallResult:
        policy = self.unscanned if unscanned is None else _policy(unscanned)
        if self.max_chars is not None and type(text) is str and len(text) > self.max_chars:
            result = self._too_long(call, text, policy, metadata)
        elif call == "process_input":
            result = screening.screen_input(self.coordinator, text, metadata)
        else:
            result = screening.screen_output(self.coordinator, text, metadata)
        if policy == "pass" or not result.unscanned:
            return result
        if policy == "raise":
            raise UnscannedError(result)
        # A prompt a guard stopped as too long already carries that guard's own message.
        if result.verdict == "too_long" and result.text != text and result.text is not None:
            return result
        return result._replace(text=self.unscanned_message, withheld=True)

    def _too_long(self, call: str, text: str, policy: str, metadata: dict[str, Any] | None) -> CallResult:
        # Listeners (metrics) are told of it as of any screening call.
        listeners = screening._listeners
        for listener in listeners:
            listener.started(call)
        action = {"pass": "FAIL_OPEN", "refuse": "REFUSED", "raise": "RAISED"}[policy]
        details = {"module": _STEPS[call], "chars": len(text), "max_chars": self.max_chars, "action": action}
        with screening.collect_events() as events:
            try:
                pools.module_global("log_audit")(pools.module_global("logger"), TOO_LONG_EVENT, details)
            except Exception as exc:
                print(f"{screening.CRITICAL_PREFIX}{exc}")
        result = CallResult(call, text, "too_long", tuple(events), 0.0, (_STEPS[call],), False, (),
                            screening.request_id(metadata))
        for listener in listeners:
            listener.finished(call, result)
        return result

    def __repr__(self) -> str:
        slots = ", ".join(f"{slot}={_name(getattr(self.coordinator, slot))}" for slot, _ in _SLOTS
                          if getattr(self.coordinator, slot) is not None)
        return f"Pipeline({slots}, unscanned={self.unscanned!r}, max_chars={self.max_chars!r})"


def _policy(value: object) -> str:
    if type(value) is not str or value not in UNSCANNED_POLICIES:
        raise ValueError(f"unscanned must be one of {', '.join(map(repr, UNSCANNED_POLICIES))}, got {value!r}")
    return value
