"""`norv screen`: run a file of prompts and responses through one governance coordinator."""

from __future__ import annotations

import contextlib
import importlib
import json
import logging
import os
import signal
import stat
import sys
import time
from dataclasses import dataclass
from typing import Any, BinaryIO, Dict, Iterator, List, Optional, TextIO

from norv.cli.records import Record, RecordError, format_for_path, read_records
from norv.cli.report import EventTap, Progress, Stats, render_summary

__all__ = ["Fatal", "Outcome", "run", "load_security_module", "DEFAULT_INPUT_GUARD", "DEFAULT_OUTPUT_SHIELD"]

DEFAULT_INPUT_GUARD = "norv.guards:PatternGuard"
DEFAULT_NEURAL_GUARD = "none"
DEFAULT_OUTPUT_SHIELD = "norv.guards:RedactionShield"

AUDIT_LOGGER = "norv.coordinator"
_CRITICAL_PREFIX = "NORV CRITICAL FAILURE: "


class Fatal(Exception):
    """Ends the run at once with exit status 2 and this one-line message."""


@dataclass
class Outcome:
    status: int
    #: True when a scan overran its limit and may still be running on a worker.
    abandoned_scans: bool = False


def load_security_module(option: str, ref: str) -> Optional[object]:
    """Resolve ``package.module:name`` (or ``none``) into a security module object.

    ``name`` may be dotted. A class or a factory is called with no arguments;
    an object that already has a ``scan`` method is used as it is.
    """
    if ref.strip().lower() == "none":
        return None
    module_name, sep, attr_path = ref.partition(":")
    if not sep or not module_name or not attr_path or ":" in attr_path:
        raise Fatal(f"{option}: expected package.module:name or 'none', got {ref!r}")
    try:
        target: Any = importlib.import_module(module_name)
    except Exception as exc:  # SyntaxError and errors raised by the module's own code too
        raise Fatal(f"{option}: cannot import {module_name!r}: {type(exc).__name__}: {exc}") from None
    for part in attr_path.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise Fatal(f"{option}: {module_name!r} has no attribute {attr_path!r}") from None
    if isinstance(target, type) or (callable(target) and not hasattr(target, "scan")):
        try:
            target = target()
        except Exception as exc:
            raise Fatal(f"{option}: {ref}() failed: {type(exc).__name__}: {exc}") from None
    if not callable(getattr(target, "scan", None)):
        raise Fatal(f"{option}: {ref} is not a security module (it has no scan method)")
    return target


def _open_input(path: str) -> BinaryIO:
    try:
        return open(path, "rb")
    except OSError as exc:
        raise Fatal(f"cannot open {path!r}: {exc.strerror or exc}") from None


def _size_of(stream: BinaryIO) -> Optional[int]:
    try:
        info = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


class _ProgressAwareHandler(logging.StreamHandler):
    """Audit lines on the terminal: erase the progress bar before each one."""

    def __init__(self, stream: TextIO, progress: Progress) -> None:
        super().__init__(stream)
        self._progress = progress

    def emit(self, record: logging.LogRecord) -> None:
        self._progress.clear()
        super().emit(record)


class _StdoutTap:
    """Stands in for standard output while records are screened.

    Standard output carries the result lines, but the coordinator writes its
    last-resort "NORV CRITICAL FAILURE" line there with ``print``, and a guard
    may print too. Both are moved to standard error and the critical lines
    are counted.
    """

    def __init__(self, stderr: TextIO, progress: Progress, stats: Stats) -> None:
        self._stderr = stderr
        self._progress = progress
        self._stats = stats
        self._pending = ""

    def write(self, text: str) -> int:
        self._pending += text
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            if line.startswith(_CRITICAL_PREFIX):
                self._stats.critical_lines += 1
            self._progress.clear()
            self._stderr.write(line + "\n")
        return len(text)

    def flush(self) -> None:
        if self._pending:
            self.write("\n")
        self._stderr.flush()

    def isatty(self) -> bool:
        return False


class _MainThreadTakesInterrupts:
    """The coordinator's pool, with SIGINT blocked in every worker it starts.

    The kernel hands a Ctrl-C to any thread that does not block it. When a
    worker takes it, the main thread, waiting on that worker's scan, is not
    woken and sees the interrupt only once the scan's whole limit has passed.
    Workers start inside ``submit`` and inherit the mask of the thread that
    calls it, so the signal is blocked there for the call.
    """

    def __init__(self, pool: Any) -> None:
        self._pool = pool

    def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Any:
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, (signal.SIGINT,))
        try:
            return self._pool.submit(fn, *args, **kwargs)
        finally:
            # An interrupt that came meanwhile is delivered here, to this thread.
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._pool, name)


def new_coordinator(coordinator_type: Any, timeout_ms: int, audit_mode: bool) -> Any:
    coordinator = coordinator_type(timeout_ms, audit_mode)
    if hasattr(signal, "pthread_sigmask"):
        coordinator._executor = _MainThreadTakesInterrupts(coordinator._executor)
    return coordinator


def _refusal_messages(coordinator: Any) -> List[str]:
    messages = []
    for slot in ("input_guard", "neural_guard"):
        message = getattr(getattr(coordinator, slot, None), "refusal_message", None)
        if isinstance(message, str) and message:
            messages.append(message)
    return messages


def _input_verdict(prompt: str, result: Optional[str], refusals: List[str]) -> str:
    if result is None or (result != prompt and result in refusals):
        return "refused"
    return "passed" if result == prompt else "sanitised"


def _error_line(error: RecordError) -> Dict[str, Any]:
    return {"line": error.line, "error": error.message, "error_kind": error.kind}


class _PipelineError(Exception):
    def __init__(self, call: str, exc: Exception) -> None:
        super().__init__(f"{call} raised {type(exc).__name__}: {exc}")


def _timed_call(pipeline: Any, name: str, text: str, metadata: Any, stats: Stats) -> Any:
    """One pipeline call, its latency recorded whether it returns or raises."""
    started = time.perf_counter()
    try:
        return pipeline(text, metadata)
    except Exception as exc:
        raise _PipelineError(name, exc) from exc
    finally:
        stats.latency[name].append(time.perf_counter() - started)


def _screen(record: Record, coordinator: Any, refusals: List[str], tap: EventTap, stats: Stats) -> Dict[str, Any]:
    result: Dict[str, Any] = {"line": record.line}
    if record.has_id:
        result["id"] = record.id
    result["input"] = None
    result["output"] = None
    tap.take()
    if record.prompt is not None:
        text = _timed_call(coordinator.process_input, "process_input", record.prompt, record.metadata, stats)
        result["input"] = {"verdict": _input_verdict(record.prompt, text, refusals), "text": text}
    if record.response is not None:
        text = _timed_call(coordinator.process_output, "process_output", record.response, record.metadata, stats)
        result["output"] = {"verdict": "passed" if text == record.response else "redacted", "text": text}
    # Counted only now: a record whose second call raised is an error record.
    if result["input"] is not None:
        stats.input_verdicts[result["input"]["verdict"]] += 1
    if result["output"] is not None:
        stats.output_verdicts[result["output"]["verdict"]] += 1
    result["events"] = tap.take()
    return result


@contextlib.contextmanager
def _audit_handlers(path: Optional[str], stderr: TextIO, progress: Progress, tap: EventTap) -> Iterator[None]:
    from norv.utils.logger import JsonFormatter

    if path is None:
        handler: logging.Handler = _ProgressAwareHandler(stderr, progress)
    else:
        try:
            handler = logging.FileHandler(path, mode="a", encoding="utf-8")
        except OSError as exc:
            raise Fatal(f"cannot open audit log {path!r}: {exc.strerror or exc}") from None
    handler.setFormatter(JsonFormatter())
    handler.setLevel(logging.INFO)
    logger = logging.getLogger(AUDIT_LOGGER)
    logger.addHandler(handler)
    logger.addHandler(tap)
    try:
        yield
    finally:
        logger.removeHandler(tap)
        logger.removeHandler(handler)
        handler.close()


def run(args: Any, stdin: BinaryIO, stdout: TextIO, stderr: TextIO) -> Outcome:
    """Screen every record named by ``args``; raises :class:`Fatal` for unusable settings."""
    try:
        from norv.core.coordinator import GovernanceCoordinator
    except ImportError as exc:
        raise Fatal(f"cannot load the native coordinator (norv.core.coordinator): {exc}") from None

    guards = {
        "--input-guard": load_security_module("--input-guard", args.input_guard),
        "--neural-guard": load_security_module("--neural-guard", args.neural_guard),
        "--output-shield": load_security_module("--output-shield", args.output_shield),
    }

    fmt = args.format
    if args.input == "-":
        source = stdin
        if fmt == "auto":
            fmt = "jsonl"
    else:
        if fmt == "auto":
            fmt = format_for_path(args.input)
            if fmt is None:
                raise Fatal(f"cannot tell the format of {args.input!r} from its suffix; use --format jsonl or --format text")
        source = _open_input(args.input)

    with contextlib.ExitStack() as stack:
        if source is not stdin:
            stack.callback(source.close)
        if args.output is not None:
            try:
                out: TextIO = stack.enter_context(open(args.output, "w", encoding="utf-8", newline="\n"))
            except OSError as exc:
                raise Fatal(f"cannot open output {args.output!r}: {exc.strerror or exc}") from None
        else:
            out = stdout

        stats = Stats()
        progress = Progress(stderr, _size_of(source), enabled=not args.no_progress)
        tap = EventTap()
        stack.enter_context(_audit_handlers(args.audit_log, stderr, progress, tap))

        coordinator = new_coordinator(GovernanceCoordinator, args.timeout_ms, args.audit_mode)
        coordinator.register_input_guard(guards["--input-guard"])
        coordinator.register_neural_guard(guards["--neural-guard"])
        coordinator.register_output_shield(guards["--output-shield"])
        refusals = _refusal_messages(coordinator)

        # Standard output is for result lines only; see _StdoutTap.
        stack.enter_context(contextlib.redirect_stdout(_StdoutTap(stderr, progress, stats)))
        try:
            for item in read_records(source, fmt, progress.advance_bytes):
                if isinstance(item, Record):
                    try:
                        line = _screen(item, coordinator, refusals, tap, stats)
                    except _PipelineError as exc:
                        tap.take()
                        item = RecordError(item.line, "pipeline_error", str(exc))
                if isinstance(item, RecordError):
                    stats.errors[item.kind] += 1
                    line = _error_line(item)
                stats.records += 1
                out.write(json.dumps(line, ensure_ascii=False) + "\n")
                # Line by line, so that a reader downstream sees each result
                # as soon as it exists, and an interrupted run keeps them.
                out.flush()
                progress.update(stats.records)
        except KeyboardInterrupt:
            stats.interrupted = True
        finally:
            progress.finish()
            sys.stdout.flush()

    stats.elapsed = time.monotonic() - stats.started
    stats.detections = sum(count for (event, _), count in tap.counts.items() if event == "THREAT_DETECTED")
    settings = (
        f"timeout {args.timeout_ms} ms, audit mode {'on' if args.audit_mode else 'off'}; "
        f"input guard {args.input_guard}, neural guard {args.neural_guard}, output shield {args.output_shield}"
    )
    stderr.write(render_summary(stats, tap.counts, settings))
    stderr.flush()

    abandoned = any(event == "TIMEOUT" for event, _ in tap.counts)
    if stats.interrupted:
        # The interrupted call's scan may still be running.
        return Outcome(130, True)
    return Outcome(1 if args.fail_on_detection and stats.flagged else 0, abandoned)
