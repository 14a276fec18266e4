"""Screening from asyncio code, without blocking the event loop.

The coordinator's calls block their thread while a module scans, so a
coroutine must not make them itself: one 30 ms guard would stop every other
request on the loop for 30 ms, and a burst of requests for seconds. These
functions run the synchronous screening (:mod:`norv.screening`) on host
threads of the coordinator's own (as many as it has workers, named
"NORV_Host"), and put an admission gate (:mod:`norv.capacity`) in front of its
pool on first use, so that requests beyond its capacity wait in line before
their time limit starts, not inside it, and at most :data:`DEFAULT_MAX_WAIT`
seconds.

Cancelling the awaiting task is safe: a call that has not started yet never
starts; one that is running finishes on its host thread (its audit events are
written as for any call) and its result is dropped.
"""

from __future__ import annotations

import asyncio
import functools
import threading
import weakref
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

from norv import capacity, screening
from norv import pool as pools
from norv.protocols import Coordinator
from norv.screening import CallResult, Screening

__all__ = ["DEFAULT_MAX_WAIT", "host_threads", "screen", "screen_input", "screen_output"]

HOST_PREFIX = "NORV_Host"
#: How long (seconds) a scan waits at the gate these functions install before
#: its text passes unscanned (``over_capacity``): no request waits for ever.
DEFAULT_MAX_WAIT = 1.0

_host_pools: weakref.WeakKeyDictionary[Any, ThreadPoolExecutor] = weakref.WeakKeyDictionary()
_lock = threading.Lock()


def host_threads(coordinator: Coordinator) -> ThreadPoolExecutor:
    """The threads that make ``coordinator``'s calls for asyncio callers (made on first use).

    First use also installs the admission gate (:func:`norv.capacity.install_gate`),
    with a ``max_wait`` of :data:`DEFAULT_MAX_WAIT`, unless one is there.
    """
    pool = _host_pools.get(coordinator)
    if pool is not None:
        return pool
    with _lock:
        pool = _host_pools.get(coordinator)
        if pool is None:
            current = pools.executor(coordinator)
            if not isinstance(current, capacity.AdmissionGate):
                capacity.install_gate(coordinator, max_wait=DEFAULT_MAX_WAIT)
            pool = ThreadPoolExecutor(max_workers=pools.workers(coordinator), thread_name_prefix=HOST_PREFIX)
            _host_pools[coordinator] = pool
            # Closing the pool when the coordinator goes lets its threads end.
            weakref.finalize(coordinator, pool.shutdown, wait=False)
    return pool


def _forget_host_pools_in_child() -> None:
    # The parent's host threads do not exist in a forked child; new ones are made on first use.
    _host_pools.clear()


pools.after_fork_in_child(_forget_host_pools_in_child)


_T = TypeVar("_T")


async def _on_host_thread(coordinator: Coordinator, fn: Callable[..., _T], *args: Any) -> _T:
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(host_threads(coordinator), functools.partial(fn, coordinator, *args))


async def screen_input(coordinator: Coordinator, prompt: str, metadata: dict[str, Any] | None = None) -> CallResult:
    """Awaitable :func:`norv.screening.screen_input`."""
    return await _on_host_thread(coordinator, screening.screen_input, prompt, metadata)


async def screen_output(coordinator: Coordinator, response: str, metadata: dict[str, Any] | None = None) -> CallResult:
    """Awaitable :func:`norv.screening.screen_output`."""
    return await _on_host_thread(coordinator, screening.screen_output, response, metadata)


async def screen(coordinator: Coordinator, prompt: str | None = None, response: str | None = None,
                 metadata: dict[str, Any] | None = None) -> Screening:
    """Awaitable :func:`norv.screening.screen` (both sides in one host-thread hand-off)."""
    return await _on_host_thread(coordinator, screening.screen, prompt, response, metadata)
