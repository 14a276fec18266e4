"""JSON audit logging for norv, built on the standard :mod:`logging` module.

Every audit event is one JSON object on one line, its keys in this order::

    {"timestamp": "2026-12-08T19:53:22.123Z", "logger": "norv.coordinator",
     "event": "THREAT_DETECTED", "module": "InputHeuristic", "outcome": "BLOCKED",
     "size_bytes": 42}

The event is logged at INFO level and its JSON text is the record's message, so
whatever handler a host attaches prints the whole event. The host stays in
control: norv's loggers follow the standard library's rules for library
loggers, and the small fallback handler attached here writes to standard error
only while no other handler would receive the record (an application that has
configured logging, on the root logger or on a ``norv`` logger, sees the events
through its own handlers alone).
"""

from __future__ import annotations

import json
import logging
import sys
import time
from collections.abc import Mapping
from typing import Any

__all__ = ["AUDIT_LEVEL", "EventListener", "JsonFormatter", "is_passive", "log_audit", "setup_logger"]

#: The level at which audit events are logged.
AUDIT_LEVEL = logging.INFO

#: Keys every event starts with; details may not overwrite them.
_LEADING_KEYS = ("timestamp", "logger", "event")


class EventListener(logging.Handler):
    """A handler that only listens: told of each audit event, it writes nothing.

    Passive: the fallback handler below still writes the events to standard
    error while no handler that writes them is attached, and ``norv screen``
    leaves such listeners in place when it routes the events of a run. Any
    handler with a true ``norv_passive`` attribute is taken as one.
    """

    norv_passive = True

    def __init__(self) -> None:
        super().__init__(logging.INFO)

    def handle(self, record: logging.LogRecord) -> bool:
        # No lock, no formatting: listeners keep their own state thread-safe.
        event = getattr(record, "norv_event", None)
        if event is not None:
            self.on_event(event, getattr(record, "norv_details", None) or {})
        return True

    def emit(self, record: logging.LogRecord) -> None:  # pragma: no cover - handle() does the work
        pass

    def on_event(self, event: str, details: Mapping[str, Any]) -> None:
        raise NotImplementedError


def is_passive(handler: logging.Handler) -> bool:
    """Whether ``handler`` only listens to the events (see :class:`EventListener`)."""
    return bool(getattr(handler, "norv_passive", False))


def _utc_timestamp(seconds: float) -> str:
    whole = int(seconds)
    millis = int((seconds - whole) * 1000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(whole)) + f".{millis:03d}Z"


def _to_json(payload: Mapping[str, Any]) -> str:
    # default=repr: an audit line must never fail because a detail is exotic.
    return json.dumps(payload, ensure_ascii=False, default=repr, allow_nan=True)


def _build_event(logger_name: str, event: str, details: Mapping[str, Any], created: float) -> str:
    payload: dict[str, Any] = {"timestamp": _utc_timestamp(created), "logger": logger_name, "event": event}
    for key, value in details.items():
        key = str(key)
        # A detail named like a leading key is kept, not allowed to forge it.
        payload["detail_" + key if key in _LEADING_KEYS else key] = value
    return _to_json(payload)


class JsonFormatter(logging.Formatter):
    """Formats audit events as their JSON line and any other record as a JSON object.

    Ordinary records (such as the coordinator's audit-mode notice) become
    ``{"timestamp", "logger", "level", "message"}`` plus ``"exception"`` when the
    record carries one.
    """

    def format(self, record: logging.LogRecord) -> str:
        if getattr(record, "norv_event", None) is not None:
            return record.getMessage()
        payload: dict[str, Any] = {
            "timestamp": _utc_timestamp(record.created),
            "logger": record.name,
            "level": record.levelname,
            "message": record.getMessage(),
        }
        if record.exc_info:
            payload["exception"] = self.formatException(record.exc_info)
        return _to_json(payload)


class _FallbackHandler(logging.Handler):
    """Writes JSON lines to standard error only while logging is otherwise unconfigured.

    Like :data:`logging.lastResort`, but at INFO level and in the audit format, so
    that a coordinator used without any logging set-up still shows its decisions.
    """

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.setFormatter(JsonFormatter())

    def _others_receive(self, logger: logging.Logger) -> bool:
        current: logging.Logger | None = logger
        while current is not None:
            # Passive handlers (norv's own event collectors) only listen.
            if any(handler is not self and not is_passive(handler) for handler in current.handlers):
                return True
            if not current.propagate:
                return False
            current = current.parent
        return False

    def handle(self, record: logging.LogRecord) -> bool:
        source = logging.getLogger(record.name)
        if self._others_receive(source):
            return False
        return bool(super().handle(record))

    def emit(self, record: logging.LogRecord) -> None:
        try:
            stream = sys.stderr
            if stream is None:
                return
            stream.write(self.format(record) + "\n")
            stream.flush()
        except Exception:
            self.handleError(record)


def setup_logger(name: str) -> logging.Logger:
    """Return the standard logger ``name``, ready to carry norv's audit events.

    The logger's level is set to INFO (unless the host has set one) so that audit
    events are created; a fallback handler prints them to standard error as JSON
    lines until the application configures logging itself. Calling it again for
    the same name adds nothing.
    """
    logger = logging.getLogger(name)
    if logger.level == logging.NOTSET:
        logger.setLevel(AUDIT_LEVEL)
    if not any(isinstance(handler, _FallbackHandler) for handler in logger.handlers):
        logger.addHandler(_FallbackHandler())
    return logger


def log_audit(logger: logging.Logger, event: str, details: Mapping[str, Any]) -> None:
    """Write one audit event: ``event`` with ``details`` (kept in their key order)."""
    if not logger.isEnabledFor(AUDIT_LEVEL):
        return
    line = _build_event(logger.name, event, details, time.time())
    logger.log(AUDIT_LEVEL, line, extra={"norv_event": event, "norv_details": dict(details)})
