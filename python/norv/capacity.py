"""Capacity of a coordinator: an admission gate, and more workers for lock-free guards.

A coordinator scans on its own pool of four worker threads, and the time limit
of a scan starts when the coordinator submits it. With more host threads than
workers, scans wait in the pool's queue, the wait counts against the limit, and
under load texts pass unscanned with TIMEOUT events.

:func:`install_gate` puts an :class:`AdmissionGate` in front of the pool. The
gate lets a scan into the pool only when a worker is free for it, and makes the
caller wait for that *before* the coordinator starts the clock. The trade-off:
under overload, latency grows instead of texts passing unscanned. A gate with
``max_wait`` bounds that wait; a text that waited longer passes unscanned, with
an ``ADMISSION_TIMEOUT`` audit event of the gate's own.

A worker stays held until its scan returns, also after the coordinator gave up
on it, so a scan that hangs holds one place at the gate for as long as it hangs.
A scan that calls the same coordinator again (a guard that screens through
it) does not wait at the gate: it holds a place already, and waiting for
another could wait for ever once every place is held by such scans. Its inner
scan goes straight to the pool, as it would without a gate, and the
coordinator's time limit bounds the wait.

:func:`set_workers` gives a coordinator a pool of another size, for guards that
release the interpreter lock while they work (native code, ONNX Runtime and the
like); for pure-Python guards more workers than cores buys nothing.
"""

from __future__ import annotations

import threading
import weakref
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any

from norv import pool as pools
from norv.pool import WORKER_PREFIX
from norv.protocols import Coordinator
from norv.vocabulary import ADMISSION_TIMEOUT, CRITICAL_PREFIX, STEPS

__all__ = ["WORKER_PREFIX", "AdmissionGate", "install_gate", "set_workers", "workers_of"]


#: How many scans a coordinator's pool runs at once (:func:`norv.pool.workers`).
workers_of = pools.workers


# The gate whose place the current thread's scan holds, if any.
_scanning = threading.local()


class AdmissionGate:
    """Stands in for a coordinator's pool: ``submit`` waits for a free worker.

    Everything but ``submit`` and ``shutdown`` is the wrapped pool's. The gate
    counts workers, not calls: a place is taken when a scan is submitted and
    given back when the scan returns on its worker.
    """

    def __init__(self, pool: Any, workers: int, *, max_wait: float | None = None,
                 coordinator: Coordinator | None = None) -> None:
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        if max_wait is not None and max_wait < 0:
            raise ValueError(f"max_wait must be None or at least 0, got {max_wait}")
        self._pool = pool
        self.workers = workers
        self.max_wait = max_wait
        self._coordinator = weakref.ref(coordinator) if coordinator is not None else None
        self._places = threading.Semaphore(workers)
        self._count_lock = threading.Lock()
        #: Scans waiting at the gate now.
        self.waiting = 0
        #: Scans submitted and not yet returned (running, or queued in the pool).
        self.busy = 0
        #: Texts that passed unscanned because ``max_wait`` ran out.
        self.refused = 0
        _live_gates.add(self)

    @property
    def pool(self) -> Any:
        """The wrapped worker pool."""
        return self._pool

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any:
        if getattr(_scanning, "gate", None) is self:
            return self._pool.submit(fn, *args, **kwargs)
        with self._count_lock:
            self.waiting += 1
        try:
            admitted = self._places.acquire(True, self.max_wait)
        finally:
            with self._count_lock:
                self.waiting -= 1
        if not admitted:
            return self._pass_unscanned(args)
        with self._count_lock:
            self.busy += 1
        try:
            return self._pool.submit(self._run, self._places, fn, args, kwargs)
        except BaseException:
            self._give_back(self._places)
            raise

    def _give_back(self, places: threading.Semaphore) -> None:
        # The places of a gate that was reset after a fork are not this gate's any more.
        if places is self._places:
            with self._count_lock:
                self.busy -= 1
            places.release()

    def _run(self, places: threading.Semaphore, fn: Callable[..., Any],
             args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
        outer = getattr(_scanning, "gate", None)
        _scanning.gate = self
        try:
            return fn(*args, **kwargs)
        finally:
            _scanning.gate = outer
            self._give_back(places)

    def _label(self, module: Any) -> str:
        coordinator = self._coordinator() if self._coordinator is not None else None
        if coordinator is not None:
            for slot, label in STEPS:
                if getattr(coordinator, slot, None) is module:
                    return label
        return type(module).__name__

    def _pass_unscanned(self, args: tuple[Any, ...]) -> Future[Any]:
        """The text passes: a finished future whose result is the content itself.

        The coordinator then sees an unchanged text and writes nothing, so the
        gate writes its own event, on the calling thread as the coordinator does.
        """
        self.refused += 1
        module = args[0] if args else None
        content = args[1] if len(args) > 1 else None
        details = {"module": self._label(module), "waited_sec": self.max_wait, "action": "FAIL_OPEN"}
        try:
            pools.module_global("log_audit")(pools.module_global("logger"), ADMISSION_TIMEOUT, details)
        except Exception as exc:
            print(f"{CRITICAL_PREFIX}{exc}")
        future: Future[Any] = Future()
        future.set_result(content)
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._pool.shutdown(wait=wait, cancel_futures=cancel_futures)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._pool, name)

    def _after_fork_in_child(self) -> None:
        # The parent's workers do not exist here, and the places they held are
        # never given back; the inherited locks may be held mid-operation.
        self._places = threading.Semaphore(self.workers)
        self._count_lock = threading.Lock()
        self.waiting = self.busy = 0
        self._pool = pools.new_pool(self.workers)

    def __repr__(self) -> str:
        return (f"<AdmissionGate workers={self.workers} busy={self.busy} waiting={self.waiting} "
                f"max_wait={self.max_wait}>")


_live_gates: weakref.WeakSet[AdmissionGate] = weakref.WeakSet()


def _reset_gates_in_child() -> None:
    for gate in list(_live_gates):
        gate._after_fork_in_child()


pools.after_fork_in_child(_reset_gates_in_child)


def install_gate(coordinator: Coordinator, *, max_wait: float | None = None) -> AdmissionGate:
    """Put an admission gate in front of ``coordinator``'s pool (or reconfigure the one there).

    ``max_wait`` (seconds, None for no bound) is how long a scan may wait for a
    worker before its text passes unscanned with an ``ADMISSION_TIMEOUT`` event.
    """
    current = pools.executor(coordinator)
    if isinstance(current, AdmissionGate):
        if max_wait is not None and max_wait < 0:
            raise ValueError(f"max_wait must be None or at least 0, got {max_wait}")
        current.max_wait = max_wait
        return current
    gate = AdmissionGate(current, pools.workers(coordinator), max_wait=max_wait, coordinator=coordinator)
    pools.replace(coordinator, gate)
    return gate


def set_workers(coordinator: Coordinator, workers: int) -> None:
    """Give ``coordinator`` a new pool of ``workers`` threads ("NORV_Worker" names, as its own).

    A gate in front of the old pool stays, resized. The old pool finishes the
    scans it has and takes no more. Call it before the coordinator is busy:
    scans running on the old pool still hold their places at an old gate.
    """
    if not isinstance(workers, int) or isinstance(workers, bool) or workers < 1:
        raise ValueError(f"workers must be a whole number of at least 1, got {workers!r}")
    current = pools.executor(coordinator)
    fresh = pools.new_pool(workers)
    old: Any
    if isinstance(current, AdmissionGate):
        old = current._pool
        current._pool = fresh
        current.workers = workers
        current._places = threading.Semaphore(workers)
        with current._count_lock:
            current.busy = 0
    else:
        old = pools.replace(coordinator, fresh)
    shutdown: Callable[..., Any] | None = getattr(old, "shutdown", None)
    if shutdown is not None:
        shutdown(wait=False)
