"""Prometheus metrics for norv (the optional extra ``norv[metrics]``: ``prometheus_client``).

::

    from norv.metrics import Metrics
    metrics = Metrics()                     # registers on prometheus_client's default registry
    metrics.watch(coordinator)              # queued scans of this coordinator
    metrics.start_http_server(9464)         # or serve metrics.registry from your own app

What is measured, and where from:

* ``norv_audit_events_total{event, module, outcome}``: every audit event on the
  ``norv.coordinator`` logger, whoever made the call (``outcome`` is the
  event's "outcome", else its "action", e.g. BLOCKED, AUDIT_ONLY, FAIL_OPEN);
* ``norv_pipeline_seconds{call}`` (histogram) and
  ``norv_verdicts_total{call, verdict}``: calls made through :mod:`norv.screening`
  (and so :mod:`norv.aio` and ``norv screen``);
* ``norv_calls_in_flight{call}``: screening calls running now;
* ``norv_queued_scans``: scans of the watched coordinators that wait for a worker,
  at their admission gate or in their pool's queue.
"""

from __future__ import annotations

import logging
import threading
import weakref
from collections.abc import Mapping
from typing import Any

try:
    import prometheus_client as _prom
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "norv.metrics needs prometheus_client: pip install 'norv[metrics]'"
    ) from exc

from norv import pool as pools
from norv import screening
from norv.protocols import Coordinator
from norv.utils.logger import EventListener

__all__ = ["LATENCY_BUCKETS", "Metrics"]

#: Seconds; fine around the default 50 ms limit, where most calls end.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.075, 0.1, 0.15, 0.25, 0.5, 1.0, 2.5, 5.0)


class _EventCounter(EventListener):
    def __init__(self, counter: Any) -> None:
        super().__init__()
        self._counter = counter

    def on_event(self, event: str, details: Mapping[str, Any]) -> None:
        outcome = details.get("outcome", details.get("action", ""))
        self._counter.labels(str(event), str(details.get("module", "")), str(outcome)).inc()





class Metrics:
    """norv's metrics on one registry; counting starts at construction, :meth:`close` ends it."""

    def __init__(self, registry: Any | None = None, *, logger_name: str = screening.AUDIT_LOGGER) -> None:
        self.registry = registry if registry is not None else _prom.REGISTRY
        self.events = _prom.Counter(
            "norv_audit_events", "Audit events written by the coordinator.",
            ["event", "module", "outcome"], registry=self.registry,
        )
        self.latency = _prom.Histogram(
            "norv_pipeline_seconds", "Duration of screening calls (process_input / process_output).",
            ["call"], buckets=LATENCY_BUCKETS, registry=self.registry,
        )
        self.verdicts = _prom.Counter(
            "norv_verdicts", "Verdicts of screening calls.", ["call", "verdict"], registry=self.registry,
        )
        self.in_flight = _prom.Gauge(
            "norv_calls_in_flight", "Screening calls running now.", ["call"], registry=self.registry,
        )
        self.queued = _prom.Gauge(
            "norv_queued_scans", "Scans of the watched coordinators waiting for a worker.", registry=self.registry,
        )
        self._watched: weakref.WeakSet[Any] = weakref.WeakSet()
        self._watch_lock = threading.Lock()
        self.queued.set_function(self._count_queued)
        self._handler = _EventCounter(self.events)
        self._logger = logging.getLogger(logger_name)
        self._logger.addHandler(self._handler)
        screening.add_listener(self)

    # screening listener
    def started(self, call: str) -> None:
        self.in_flight.labels(call).inc()

    def finished(self, call: str, result: screening.CallResult | None) -> None:
        self.in_flight.labels(call).dec()
        if result is not None:
            # The request id, when the caller gave one, as an exemplar: a slow
            # bucket then points at a request to look up in the logs.
            exemplar = {"request_id": result.request_id} if result.request_id else None
            self.latency.labels(call).observe(result.seconds, exemplar)
            self.verdicts.labels(call, result.verdict).inc()

    def watch(self, coordinator: Coordinator) -> None:
        """Count ``coordinator``'s queued scans in ``norv_queued_scans`` (held weakly)."""
        with self._watch_lock:
            self._watched.add(coordinator)

    def _count_queued(self) -> float:
        with self._watch_lock:
            watched = list(self._watched)
        return float(sum(pools.queued(coordinator) for coordinator in watched))

    def start_http_server(self, port: int, addr: str = "127.0.0.1") -> Any:
        """Serve this registry at ``http://addr:port/metrics`` on a daemon thread."""
        return _prom.start_http_server(port, addr=addr, registry=self.registry)

    def close(self) -> None:
        """Stop counting (the metrics stay registered with their last values)."""
        self._logger.removeHandler(self._handler)
        screening.remove_listener(self)
