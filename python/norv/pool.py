"""The coordinator's worker pool, as norv's Python side reaches it.

A coordinator scans on the pool it keeps in its ``_executor`` attribute: a
``concurrent.futures.ThreadPoolExecutor`` of :data:`DEFAULT_WORKERS` threads
named ``NORV_Worker``, made by its constructor, which a gate
(:class:`norv.capacity.AdmissionGate`) may stand in front of. Everything in
norv that reads the pool, its size or its queue, or that replaces it, goes
through this module, and so do the Python side's after-fork rules.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from norv.protocols import Coordinator

__all__ = [
    "DEFAULT_WORKERS", "WORKER_PREFIX", "Pool", "after_fork_in_child", "executor", "masking", "module_global",
    "new_pool", "pool_type", "queued", "replace", "worker_pool", "workers",
]

#: The name prefix of the coordinator's worker threads.
WORKER_PREFIX = "NORV_Worker"
#: The size of the pool a coordinator makes.
DEFAULT_WORKERS = 4


class Pool(Protocol):
    """What the coordinator asks of its pool: a plain pool, or a gate in front of one."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any: ...

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None: ...


def module_global(name: str) -> Any:
    """``name`` as the coordinator looks it up: its module's namespace, then the builtins."""
    import norv.core.coordinator as module

    try:
        return getattr(module, name)
    except AttributeError:
        import builtins

        return getattr(builtins, name)


def pool_type() -> Any:
    """The pool type the coordinator's constructor makes (its module's ``concurrent``)."""
    return module_global("concurrent").futures.ThreadPoolExecutor


def new_pool(size: int, kind: Any = None) -> Any:
    """A pool of ``size`` workers of ``kind`` (by default the coordinator's own), named as its own."""
    return (kind or pool_type())(max_workers=size, thread_name_prefix=WORKER_PREFIX)


def masking(kind: Any, signals: tuple[int, ...]) -> Any:
    """A subclass of the pool type ``kind`` whose workers are born blocking ``signals``.

    The kernel hands a process-wide signal to any thread that does not block
    it; a worker that took an interrupt would leave the main thread waiting
    out a scan's limit. A thread inherits its creator's mask, so the mask is
    blocked on the submitting thread only while a worker is being started
    (once each, by a warm start) and never on the path of a call.
    """
    import signal

    class MaskingPool(kind):  # type: ignore[misc]
        def _adjust_thread_count(self) -> None:
            if self._idle_semaphore.acquire(timeout=0):
                return
            previous = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
            try:
                super()._adjust_thread_count()
            finally:
                # A signal that came meanwhile is delivered here, to this thread.
                signal.pthread_sigmask(signal.SIG_SETMASK, previous)

    return MaskingPool


def executor(coordinator: Coordinator) -> Pool:
    """What the coordinator submits its scans to: its pool, or a gate in front of it."""
    found: Pool = coordinator._executor
    return found


def worker_pool(coordinator: Coordinator) -> Any:
    """The pool whose threads run the coordinator's scans, behind any gate."""
    found = coordinator._executor
    return getattr(found, "pool", found)


def workers(coordinator: Coordinator) -> int:
    """How many scans the coordinator's pool runs at once."""
    found = coordinator._executor
    size: Any = getattr(found, "workers", None)  # a gate counts its places
    if size is None:
        size = getattr(found, "_max_workers", DEFAULT_WORKERS)
    return int(size)


def queued(coordinator: Coordinator) -> int:
    """Scans waiting for a worker: at a gate, and in the pool's queue."""
    found = getattr(coordinator, "_executor", None)
    count = int(getattr(found, "waiting", 0))
    queue = getattr(getattr(found, "pool", found), "_work_queue", None)
    if queue is not None:
        count += queue.qsize()
    return count


def replace(coordinator: Coordinator, pool: Pool) -> Pool:
    """Make ``pool`` what the coordinator submits to; returns what was there."""
    old: Pool = coordinator._executor
    coordinator._executor = pool
    return old


_child_hooks: list[Callable[[], None]] = []


def after_fork_in_child(hook: Callable[[], None]) -> Callable[[], None]:
    """Run ``hook`` in a forked child, in the order hooks were added. The
    coordinator renews a plain pool of its own in the child; what the Python
    side keeps beside it (gates, host threads) is reset by hooks."""
    _child_hooks.append(hook)
    return hook


def _in_child() -> None:
    for hook in _child_hooks:
        hook()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_in_child)
