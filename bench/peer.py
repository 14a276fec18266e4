"""GovernanceCoordinator written in plain Python: the benchmarks' peer.

This is what a host would run if norv shipped no native module: the same class,
written the way a Python developer would write it. Plain ``def`` methods, so
argument counts and keyword names are checked by the interpreter with its own
messages; the same exact-type tests and messages as the native class
(``type(x) is str``, not ``isinstance``); the same attribute reads, audit
events and fail-open handling. It is meant to be a fair opponent: nothing in it
is slowed down on purpose, and the checks that only build an error message run
only once a test has failed.

Two small differences from the native messages remain, neither on a measured
path: type names come from ``__name__`` (the native class prints the C-level
name, which for a few built-in types carries a module prefix), and count and
keyword errors use the interpreter's wording.

Module globals are read at each use, as in the native module, so a benchmark
can rebind ``log_audit`` here exactly as it does on ``norv.core.coordinator``.
"""

from __future__ import annotations

import concurrent.futures
import logging  # noqa: F401  (bound as in the native module's namespace)
from typing import Any, Dict, Optional

from norv.core.interfaces import SecurityModule
from norv.utils.logger import log_audit, setup_logger

logger = setup_logger("norv.coordinator")

_SUBCLASS_NOTE = (
    "Argument checks here are exact and stricter than PEP 484: subclasses of "
    "built-in types are refused. They would be admitted only by a build with "
    "annotation typing (typing of arguments from their annotations) switched off."
)


def _wrong_type(name: str, expected: type, value: Any) -> TypeError:
    got = type(value)
    note = ". " + _SUBCLASS_NOTE if issubclass(got, expected) else ""
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {got.__name__}){note}"
    )


def _not_str(value: Any) -> TypeError:
    return TypeError(f"Expected str, got {type(value).__name__}")


def _is_number(value: Any) -> bool:
    # What the interpreter's number check accepts: int, index or float
    # conversion, or a complex number.
    kind = type(value)
    return (
        hasattr(kind, "__int__")
        or hasattr(kind, "__index__")
        or hasattr(kind, "__float__")
        or isinstance(value, complex)
    )


class GovernanceCoordinator:
    """
    Coordinator orchestrates the security pipeline.

    Design Guarantees:
    1. Fail-Safe: Internal errors in modules NEVER propagate to the host app.
    2. Zero-Latency: Fallback to pass-through on timeout.
    3. Observable: All security decisions are logged to JSON audit logs.
    """

    def __init__(self, timeout_ms: int = 50, audit_mode: bool = False):
        if type(timeout_ms) is not int:
            if not _is_number(timeout_ms):
                raise TypeError(
                    f"Argument 'timeout_ms' has incorrect type (expected int, got {type(timeout_ms).__name__})"
                )
            timeout_ms = int(timeout_ms)
        audit_mode = bool(audit_mode)
        self.timeout_seconds = timeout_ms / 1000.0
        self.audit_mode = audit_mode
        self.input_guard = None
        self.output_shield = None
        self.neural_guard = None
        self._executor = concurrent.futures.ThreadPoolExecutor(max_workers=4, thread_name_prefix="NORV_Worker")

    def register_input_guard(self, guard: "SecurityModule") -> None:
        self.input_guard = guard

    def register_output_shield(self, shield: "SecurityModule") -> None:
        self.output_shield = shield

    def register_neural_guard(self, guard: "SecurityModule") -> None:
        self.neural_guard = guard

    def process_input(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> str:
        if type(content) is not str:
            raise _wrong_type("content", str, content)
        if metadata is not None and type(metadata) is not dict:
            raise _wrong_type("metadata", dict, metadata)
        result = self._run_fail_safe(self.input_guard, content, metadata, "InputHeuristic")
        refusal_msg = getattr(self.input_guard, "refusal_message", None)
        if (refusal_msg and result == refusal_msg) or not self.neural_guard:
            if result is None or type(result) is str:
                return result
            raise _not_str(result)
        result_ai = self._run_fail_safe(self.neural_guard, result, metadata, "InputNeural")
        if result_ai is None or type(result_ai) is str:
            return result_ai
        raise _not_str(result_ai)

    def process_output(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> str:
        if type(content) is not str:
            raise _wrong_type("content", str, content)
        if metadata is not None and type(metadata) is not dict:
            raise _wrong_type("metadata", dict, metadata)
        result = self._run_fail_safe(self.output_shield, content, metadata, "Output")
        if result is None or type(result) is str:
            return result
        raise _not_str(result)

    def _run_fail_safe(
        self,
        module: Optional["SecurityModule"],
        content: str,
        metadata: Optional[Dict[str, Any]],
        context: str,
    ) -> str:
        if type(content) is not str:
            raise _wrong_type("content", str, content)
        if metadata is not None and type(metadata) is not dict:
            raise _wrong_type("metadata", dict, metadata)
        if type(context) is not str:
            raise _wrong_type("context", str, context)
        try:
            if not module or not content:
                return content
            future = self._executor.submit(self._safe_scan, module, content, metadata)
            try:
                result = future.result(timeout=self.timeout_seconds)
                if result != content:
                    log_audit(
                        logger,
                        "THREAT_DETECTED",
                        {
                            "module": context,
                            "outcome": "AUDIT_ONLY" if self.audit_mode else "BLOCKED",
                            "size_bytes": len(content.encode("utf-8")),
                        },
                    )
                    if self.audit_mode:
                        logger.info(f"Audit Mode: Passing input despite detection in {context}")
                        return content
                if result is None or type(result) is str:
                    return result
                raise _not_str(result)
            except concurrent.futures.TimeoutError:
                details = {"module": context, "limit_sec": self.timeout_seconds, "action": "FAIL_OPEN"}
                log_audit(logger, "TIMEOUT", details)
                return content
            except Exception as e:
                log_audit(logger, "INTERNAL_MODULE_ERROR", {"module": context, "error": str(e), "action": "FAIL_OPEN"})
                return content
        except Exception as e:
            print(f"NORV CRITICAL FAILURE: {e}")
            return content

    def _safe_scan(self, module: "SecurityModule", content: Any, metadata: Optional[Dict[str, Any]]) -> Any:
        if metadata is not None and type(metadata) is not dict:
            raise _wrong_type("metadata", dict, metadata)
        return module.scan(content, metadata)
