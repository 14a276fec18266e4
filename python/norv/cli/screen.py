"""`norv screen`: run a file of prompts and responses through one governance coordinator.

The guards run in worker processes (:mod:`norv.cli.jobs`), one even for
``--jobs 1``: a guard that ends its process (``os._exit``, a crash, a kill)
then ends the run with status 5 and what was screened kept, never a silent
success. This module holds what they share: the :class:`Screener` that turns
records into result lines, where those lines go, and the summary.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import io
import logging
import math
import os
import re
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator
from json import JSONEncoder, dumps
from typing import Any, NamedTuple, TextIO, cast

from norv import pool as pools
from norv import screening, vocabulary
from norv.cli.records import (
    ARRAY_MESSAGE,
    Record,
    RecordError,
    format_for_path,
    looks_like_array,
)
from norv.cli.report import UNSCREENED_CATEGORIES, Progress, Stats, plural, render_summary
from norv.screening import screen_input, screen_output

__all__ = [
    "DEFAULT_INPUT_GUARD",
    "DEFAULT_NEURAL_GUARD",
    "DEFAULT_OUTPUT_SHIELD",
    "EXIT",
    "Fatal",
    "Outcome",
    "Screener",
    "build_pipeline",
    "load_security_module",
    "new_coordinator",
    "run",
]

DEFAULT_INPUT_GUARD = "norv.guards:PatternGuard"
DEFAULT_NEURAL_GUARD = "none"
DEFAULT_OUTPUT_SHIELD = "norv.guards:RedactionShield"

#: Exit statuses (norv.vocabulary's), and those of the signals that end a run.
EXIT: dict[str | int, int] = dict(vocabulary.EXIT.items())
EXIT.update({signal.SIGINT: vocabulary.EXIT["sigint"], signal.SIGTERM: vocabulary.EXIT["sigterm"]})

GUARD_OPTIONS = (("--input-guard", "input_guard"), ("--neural-guard", "neural_guard"),
                 ("--output-shield", "output_shield"))


class Fatal(Exception):
    """Ends the run at once with exit status 2 and this one-line message."""


class WriteFailed(Exception):
    """A destination of the run cannot be written to any more."""

    def __init__(self, what: str, exc: BaseException) -> None:
        reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        super().__init__(f"cannot write {what}: {reason}")


class GuardAbort(Exception):
    """A guard raised something the coordinator hands on (SystemExit, KeyboardInterrupt, GeneratorExit)."""


# Result lines are strict JSON: no NaN or Infinity, which most parsers refuse.
_encode = JSONEncoder(ensure_ascii=False, allow_nan=False).encode
_SURROGATE = re.compile("[\ud800-\udfff]")


def result_json(line: dict[str, Any]) -> str:
    """``line`` as one strict-JSON, UTF-8-writable line; never raises for what a guard put in it."""
    try:
        text = _encode(line)
    except (ValueError, TypeError):
        # A guard's reasons holding a non-finite number or an object JSON has no form for.
        text = _encode(_strict(line))
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:  # a guard returned text with a lone surrogate
            text = _SURROGATE.sub("\ufffd", text)
    return text + "\n"


def _strict(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(key): _strict(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(item) for item in value]
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    if value is None or isinstance(value, (str, int, float)):
        return value
    return repr(value)


class Outcome(NamedTuple):
    status: int
    #: True when a scan may still be running on a worker (time-out, interrupt, abort).
    abandoned_scans: bool = False


# --- guards and the coordinator --------------------------------------------------


def _import_hint(module_name: str) -> str:
    # Neutral: `norv screen` and `norv serve` load guards through the same code.
    return (f" (norv imports guards from the current directory and from PYTHONPATH: "
            f"run it in the folder that holds {module_name.split('.')[0]}, or add that folder to PYTHONPATH)")


def resolve_ref(option: str, ref: str) -> Any:
    """The object a ``package.module:name`` names (None for ``none``), not yet called."""
    if ref.strip().lower() == "none":
        return None
    module_name, sep, attr_path = ref.partition(":")
    if not sep or not module_name or not attr_path or ":" in attr_path:
        raise Fatal(f"{option}: expected package.module:name or 'none', got {ref!r}")
    # As uvicorn and gunicorn do: guards next to the data are found without set-up.
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)
    try:
        target: Any = importlib.import_module(module_name)
    except ModuleNotFoundError as exc:
        missing = exc.name or ""
        hint = _import_hint(module_name) if module_name == missing or module_name.startswith(missing + ".") else ""
        raise Fatal(f"{option}: cannot import {module_name!r}: ModuleNotFoundError: {exc}{hint}") from None
    except Exception as exc:  # SyntaxError and errors raised by the module's own code too
        raise Fatal(f"{option}: cannot import {module_name!r}: {type(exc).__name__}: {exc}") from None
    for part in attr_path.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise Fatal(f"{option}: {module_name!r} has no attribute {attr_path!r}") from None
    return target


def load_security_module(option: str, ref: str) -> object | None:
    """Resolve ``package.module:name`` (or ``none``) into a security module object.

    ``name`` may be dotted. A class or a factory is called with no arguments;
    an object that already has a ``scan`` method is used as it is.
    """
    target = resolve_ref(option, ref)
    if target is None:
        return None
    if isinstance(target, type) or (callable(target) and not hasattr(target, "scan")):
        try:
            target = target()
        except Exception as exc:
            raise Fatal(f"{option}: {ref}() failed: {type(exc).__name__}: {exc}") from None
    if not callable(getattr(target, "scan", None)):
        raise Fatal(f"{option}: {ref} is not a security module (it has no scan method)")
    return target  # type: ignore[no-any-return]


_INTERRUPTS = (signal.SIGINT, signal.SIGTERM)


def leave_interrupts_to_main_thread(coordinator: Any) -> None:
    """Give ``coordinator`` a pool whose workers leave interrupts to the main thread (before any has started)."""
    if not hasattr(signal, "pthread_sigmask"):
        return
    size = pools.workers(coordinator)
    old = pools.replace(coordinator, pools.new_pool(size, pools.masking(pools.pool_type(), _INTERRUPTS)))
    old.shutdown(wait=False)


def new_coordinator(coordinator_type: Any, timeout_ms: int, audit_mode: bool) -> Any:
    """A coordinator whose pool workers leave interrupts to the main thread."""
    coordinator = coordinator_type(timeout_ms, audit_mode)
    leave_interrupts_to_main_thread(coordinator)
    return coordinator


def _one_line(text: str) -> str:
    return " ".join(text.split())


def build_pipeline(args: Any) -> Any:
    """The run's :class:`norv.Pipeline`: guards loaded, checked and warmed, every pool worker started.

    Everything that can go wrong here is a :class:`Fatal` naming the option and
    its REF, so a guard that could never screen stops the run before any input
    is read instead of turning every record into a ``module_error``.
    """
    try:
        from norv.core.coordinator import GovernanceCoordinator  # noqa: F401  (a missing build is one clear line)
    except ImportError as exc:
        raise Fatal(f"cannot load the native coordinator (norv.core.coordinator): {exc}") from None
    from norv.pipeline import Pipeline, check_guard

    guards: dict[str, Any] = {}
    named: dict[str, str] = {}
    for option, attr in GUARD_OPTIONS:
        ref = getattr(args, attr)
        guard = guards[attr] = load_security_module(option, ref)
        named[attr] = f"{option} {ref}"
        if guard is not None:
            try:
                check_guard(guard, attr)
            except TypeError as exc:
                reason = str(exc).removeprefix(f"{attr} ")
                raise Fatal(_one_line(f"{named[attr]} cannot be used: {reason}")) from None
    # The workers are started by the warm start below, after the pool is swapped.
    pipeline = Pipeline(guards["input_guard"], guards["neural_guard"], guards["output_shield"],
                        timeout_ms=args.timeout_ms, audit_mode=args.audit_mode,
                        max_chars=getattr(args, "max_chars", None), warm=False)
    leave_interrupts_to_main_thread(pipeline.coordinator)
    try:
        pipeline.warm()
    except RuntimeError as exc:
        slot = next((attr for _, attr in GUARD_OPTIONS if str(exc).startswith(f"{attr} ")), None)
        cause = exc.__cause__
        if slot is None or cause is None:
            raise Fatal(_one_line(f"the warm start failed: {exc}")) from None
        raise Fatal(_one_line(f"{named[slot]} failed to warm up: {type(cause).__name__}: {cause}")) from None
    except (SystemExit, GeneratorExit) as exc:
        # Outside Exception, so not named by the pipeline: the guard stopped the start all the same.
        raise Fatal(f"a guard raised {type(exc).__name__}{_exc_args(exc)} while warming up") from None
    return pipeline


def _guard_named(exc: BaseException, coordinator: Any, args: Any) -> str:
    """Which registered guard raised ``exc``, found in its traceback (the worker's frames are kept)."""
    slots = [(getattr(coordinator, attr, None), option, getattr(args, attr)) for option, attr in GUARD_OPTIONS]
    tb = exc.__traceback__
    found = None
    while tb is not None:
        owner = tb.tb_frame.f_locals.get("self")
        for module, option, ref in slots:
            if module is not None and owner is module:
                found = f"{option} {ref}"
        tb = tb.tb_next
    return found or "a guard"


# --- screening records ---------------------------------------------------------


class Screener:
    """Turns input items into result lines, counting them in ``stats``; the same in every process."""

    def __init__(self, pipeline: Any, args: Any, stats: Stats, signals: Signals) -> None:
        self.pipeline = pipeline
        self.coordinator = pipeline.coordinator
        self.args = args
        self.stats = stats
        self.signals = signals
        # The pipeline's calls add its size cap and two Python frames a text:
        # without a cap, the screening calls themselves.
        self._screen_input: Callable[..., Any] = (functools.partial(screen_input, self.coordinator)
                                                  if pipeline.max_chars is None else pipeline.screen_input)
        self._screen_output: Callable[..., Any] = (functools.partial(screen_output, self.coordinator)
                                                   if pipeline.max_chars is None else pipeline.screen_output)

    def result_line(self, item: Any) -> str:
        if type(item) is Record:
            call = "process_input"
            try:
                result_in = (self._screen_input(item.prompt, item.metadata)
                             if item.prompt is not None else None)
                call = "process_output"
                result_out = (self._screen_output(item.response, item.metadata)
                              if item.response is not None else None)
            except Exception as exc:
                item = RecordError(item.line, "pipeline_error", f"{call} raised {type(exc).__name__}: {exc}")
            except BaseException as exc:
                if isinstance(exc, KeyboardInterrupt) and self.signals.received is not None:
                    raise
                raise GuardAbort(f"{_guard_named(exc, self.coordinator, self.args)} raised "
                                 f"{type(exc).__name__}{_exc_args(exc)} in {call} on line {item.line}") from exc
            else:
                # Stats.add, inlined: this runs once a record.
                stats = self.stats
                stats.records += 1
                line: dict[str, Any] = {"line": item.line}
                if item.has_id:
                    line["id"] = item.id
                if item.kept is not None:
                    line.update(item.kept)
                stats.add(result_in, result_out)
                events_in: tuple[dict[str, Any], ...] = ()
                events_out: tuple[dict[str, Any], ...] = ()
                if result_in is None:
                    line["input"] = None
                else:
                    line["input"] = {"verdict": result_in.verdict, "text": result_in.text}
                    if result_in.reasons:
                        line["input"]["reasons"] = result_in.reasons
                    events_in = result_in.events
                if result_out is None:
                    line["output"] = None
                else:
                    line["output"] = {"verdict": result_out.verdict, "text": result_out.text}
                    if result_out.reasons:
                        line["output"]["reasons"] = result_out.reasons
                    events_out = result_out.events
                line["events"] = events_in + events_out
                return result_json(line)
        self.stats.records += 1
        self.stats.add_error(item.kind)
        return result_json({"line": item.line, "error": item.message, "error_kind": item.kind})


def _exc_args(exc: BaseException) -> str:
    return f"({', '.join(map(repr, exc.args))})"


# --- where things go -----------------------------------------------------------


class FdWriter(io.TextIOBase):
    """UTF-8 text to a file descriptor, buffered until flushed (or 64 KiB), written whole.

    The interpreter's buffered writers drop what they held when a signal
    interrupts a write to a pipe part-way (a reader that is slow, or gone
    for a while), so an interrupt could tear a line or lose lines the summary
    counts. Here what a write did not take stays held for the next flush.
    """

    LIMIT = 1 << 16

    def __init__(self, fd: int, errors: str = "strict") -> None:
        self._fd = fd
        self._errors = errors
        self._parts: list[str] = []
        self._size = 0
        self._held = b""

    def write(self, text: str) -> int:
        self._parts.append(text)
        self._size += len(text)
        if self._size >= self.LIMIT:
            self.flush()
        return len(text)

    def flush(self) -> None:
        if self._parts:
            self._held += "".join(self._parts).encode("utf-8", self._errors)
            self._parts.clear()
            self._size = 0
        while self._held:
            written = os.write(self._fd, self._held)
            self._held = self._held[written:]

    def fileno(self) -> int:
        return self._fd

    def isatty(self) -> bool:
        return os.isatty(self._fd)

    def writable(self) -> bool:
        return True



class AuditWriter(logging.Handler):
    """Writes the audit events (and the coordinator's other log lines) as JSON lines to a stream.

    A failing write is kept in :attr:`failure` for the run to act on, never
    reported through logging's own error printing.
    """

    def __init__(self, stream: TextIO) -> None:
        from norv.utils.logger import JsonFormatter

        super().__init__(logging.INFO)
        self.setFormatter(JsonFormatter())
        self.stream = stream
        self.failure: BaseException | None = None

    def emit(self, record: logging.LogRecord) -> None:
        if self.failure is not None:
            return
        try:
            text = record.getMessage() if getattr(record, "norv_event", None) is not None else self.format(record)
            self.stream.write(text + "\n")
        except (OSError, ValueError) as exc:
            self.failure = exc


@contextlib.contextmanager
def audit_logging(handler: logging.Handler | None) -> Iterator[None]:
    """``handler`` alone receives the coordinator's events for the run (None: they are only collected)."""
    from norv.utils.logger import setup_logger

    logger = setup_logger(screening.AUDIT_LOGGER)
    propagate = logger.propagate
    # The run decides where events go: no fallback printing, no propagation to a
    # root handler that a guard's import may have configured. Passive collectors stay.
    removed = [existing for existing in logger.handlers if not getattr(existing, "norv_passive", False)]
    for existing in removed:
        logger.removeHandler(existing)
    logger.propagate = False
    if handler is not None:
        logger.addHandler(handler)
    try:
        yield
    finally:
        if handler is not None:
            logger.removeHandler(handler)
        for existing in removed:
            logger.addHandler(existing)
        logger.propagate = propagate


class _ToStderr(io.TextIOBase):
    """Stands in for standard output during the run: what guards print (and the
    coordinator's last-resort line) goes to the run's standard-error stream, so
    standard output carries result lines only.

    ``print`` writes a text and its line end in two calls; from several threads
    at once (pool workers, a last resort on each) those calls interleave and
    glue lines together. Text is therefore held per thread and handed on one
    whole line at a time.
    """

    def __init__(self, target: TextIO) -> None:
        self._target = target
        #: Held while a line is handed on: whoever empties the target takes it too.
        self.lock = threading.Lock()
        self._pending: dict[int, str] = {}

    def write(self, text: str) -> int:
        thread = threading.get_ident()
        with self.lock:
            held = self._pending.pop(thread, "") + text
            end = held.rfind("\n") + 1
            if end < len(held):
                self._pending[thread] = held[end:]
            if end:
                self._target.write(held[:end])
        return len(text)

    def flush(self) -> None:
        pass

    def close_lines(self) -> None:
        """Hand on what was printed without a line end, ended."""
        with self.lock:
            pending, self._pending = self._pending, {}
            for text in pending.values():
                self._target.write(text + "\n")

    def isatty(self) -> bool:
        return False

    def writable(self) -> bool:
        return True


def _identity(path: str | None = None, fd: int | None = None) -> tuple[int, int] | None:
    """(device, inode) of a regular file, else None (missing, a terminal, a pipe, /dev/null...)."""
    try:
        info = os.stat(path) if path is not None else os.fstat(fd)  # type: ignore[arg-type]
    except (OSError, ValueError, TypeError):
        return None
    return (info.st_dev, info.st_ino) if stat.S_ISREG(info.st_mode) else None


def check_destinations(args: Any, audit_to_stderr: bool) -> None:
    """Refuse, before anything is opened for writing, to write over the input or to mix results and audit.

    Files are compared by device and inode, so a symlink or a hard link to the
    input is caught as well as the same path.
    """
    source = _identity(args.input) if args.input != "-" else _identity(fd=0)
    out = _identity(args.output) if args.output is not None else _identity(fd=1)
    audit_path = args.audit_log if args.audit_log not in (None, "-") else None
    audit = _identity(audit_path) if audit_path is not None else (_identity(fd=2) if audit_to_stderr else None)
    input_name = repr(args.input) if args.input != "-" else "standard input"
    out_name = f"-o {args.output!r}" if args.output is not None else "standard output"
    audit_name = f"--audit-log {audit_path!r}" if audit_path is not None else "standard error (audit events)"
    if source is not None and out == source:
        raise Fatal(f"{out_name} is the input {input_name}: writing results would destroy it; choose another output")
    if source is not None and audit == source:
        raise Fatal(f"{audit_name} is the input {input_name}: writing audit events would corrupt it; "
                    "choose another audit log")
    # Results and audit events on one terminal or one `> log 2>&1` file is a choice; two named files are not.
    if (audit_path is not None or args.output is not None) and audit is not None and audit == out:
        raise Fatal(f"{audit_name} is also where the results go ({out_name}); give them different files")
    if (audit_path is not None and args.output is not None and not os.path.lexists(audit_path)
            and os.path.realpath(audit_path) == os.path.realpath(args.output)):
        raise Fatal(f"{audit_name} is also where the results go ({out_name}); give them different files")
    summary_path = getattr(args, "summary_json", None)
    if summary_path is not None:
        summary = _identity(summary_path)
        taken = [(source, f"the input {input_name}"), (out, f"where the results go ({out_name})"),
                 (audit if audit_path is not None else None, audit_name)]
        for identity, what in taken:
            if summary is not None and summary == identity:
                raise Fatal(f"--summary-json {summary_path!r} is also {what}; give it a file of its own")
        named = [args.input if args.input != "-" else None, args.output, audit_path]
        if any(path is not None and os.path.realpath(path) == os.path.realpath(summary_path) for path in named):
            raise Fatal(f"--summary-json {summary_path!r} is also the input, the results or the audit log; "
                        "give it a file of its own")


def open_source(args: Any, stdin: Any) -> tuple[Any, str, int | None]:
    """The input stream, its format and its size (None when unknown); nothing of it read yet."""
    fmt = args.format
    if args.input == "-":
        source = stdin
        if fmt == "auto":
            fmt = "jsonl"
    else:
        if fmt == "auto":
            fmt = format_for_path(args.input)
            if fmt is None:
                raise Fatal(f"cannot tell the format of {args.input!r} from its suffix; "
                            "use --format jsonl or --format text")
        try:
            source = open(args.input, "rb")
        except OSError as exc:
            raise Fatal(f"cannot open {args.input!r}: {exc.strerror or exc}") from None
        if args.input.lower().endswith(".gz"):
            return _gzip_source(args.input, source), fmt, None  # the bar counts records: no size to go by
    size = None
    try:
        info = os.fstat(source.fileno())
        if stat.S_ISREG(info.st_mode):
            size = info.st_size
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass
    return source, fmt, size


def _gzip_source(path: str, raw: Any) -> Any:
    """``raw`` read through gzip; a file that does not start as gzip data cannot start the run."""
    import gzip

    stream = gzip.GzipFile(fileobj=raw, mode="rb")
    try:
        stream.peek(1)
    except (OSError, EOFError) as exc:
        stream.close()
        raw.close()
        raise Fatal(f"cannot read {path!r} as gzip: {exc}") from None
    # Closing the gzip stream leaves the file it reads open; the run closes one thing.
    close = stream.close

    def close_both() -> None:
        try:
            close()
        finally:
            raw.close()

    stream.close = close_both  # type: ignore[method-assign]
    return stream


def refuse_array(args: Any, source: Any, fmt: str) -> None:
    """Raise :class:`Fatal` when JSON Lines input starts as a JSON array (reads its start, keeps it buffered)."""
    if fmt == "jsonl":
        peek = getattr(source, "peek", None)
        if peek is not None and looks_like_array(peek(4096)[:4096]):
            raise Fatal(f"{args.input if args.input != '-' else 'standard input'} {ARRAY_MESSAGE}")


class Signals:
    """SIGINT and SIGTERM while the run lasts: noted, then raised once as KeyboardInterrupt in the main thread.

    A signal that reaches the main thread after its last check and before it
    blocks (on a scan's result, on a worker's pipe) would be seen only when
    the wait ends, up to a whole time limit later. The interpreter's wake-up
    file tells a watcher thread of every signal; while the handler has not run,
    the watcher sends the signal again to the main thread, which by then is
    blocked and is woken by it.
    """

    def __init__(self) -> None:
        self.received: int | None = None
        self._handled = False
        self._deferring = False
        self._nudged = False
        self._saved: dict[int, Any] = {}
        self._wakeup: tuple[int, int, int] | None = None  # (read end, write end, previous fd)
        self._watcher: threading.Thread | None = None

    def _handler(self, signum: int, frame: Any) -> None:
        nudge, self._nudged = self._nudged, False
        if self._handled:
            return  # a repeat, or the watcher's nudge: the run is already stopping
        if self._deferring and (self.received is None or nudge):
            # Acted on when the write is whole (see deferred); the watcher's nudge is no second signal.
            if self.received is None:
                self.received = signum
            return
        self._handled = True
        if self.received is None:
            self.received = signum
        raise KeyboardInterrupt

    @contextlib.contextmanager
    def deferred(self) -> Iterator[None]:
        """Hold a first signal until the block ends: its lines are written whole and counted together.

        A write blocked on a reader that never reads would hold the signal
        for good, so a second one stops the run at once all the same.
        """
        self._deferring = True
        try:
            yield
        finally:
            self._deferring = False
        if self.received is not None and not self._handled:
            self._handled = True
            raise KeyboardInterrupt

    def __enter__(self) -> Signals:
        try:
            for signum in _INTERRUPTS:
                if signal.getsignal(signum) is not signal.SIG_IGN:  # nohup'd or backgrounded: left ignored
                    self._saved[signum] = signal.signal(signum, self._handler)
        except ValueError:  # not the main thread: the host keeps its handlers
            return self
        if self._saved and hasattr(signal, "pthread_kill"):
            self._watch()
        return self

    def _watch(self) -> None:
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        previous = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
        if previous != -1:  # the host's own loop listens there: leave it be
            signal.set_wakeup_fd(previous)
            os.close(read_end)
            os.close(write_end)
            return
        self._wakeup = (read_end, write_end, previous)
        main = threading.get_ident()  # signal handlers can be set on the main thread only
        watched = {int(signum) for signum in self._saved}

        def watch() -> None:
            try:
                while True:
                    data = os.read(read_end, 64)
                    if not data:
                        return
                    for signum in watched.intersection(data):
                        time.sleep(0.02)  # the main thread's own check usually comes first
                        if not self._handled and self.received is None and self._wakeup is not None:
                            self._nudged = True
                            signal.pthread_kill(main, signum)
            except OSError:
                return
            finally:
                os.close(read_end)

        # Born with the signals blocked, so that the kernel never hands one to it.
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)
        try:
            self._watcher = threading.Thread(target=watch, name="norv-signals", daemon=True)
            self._watcher.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def __exit__(self, *exc: object) -> None:
        if self._wakeup is not None:
            _read_end, write_end, previous = self._wakeup
            self._wakeup = None
            signal.set_wakeup_fd(previous)
            os.close(write_end)  # the watcher reads the end of the pipe and stops
            if self._watcher is not None:
                # Ended before exit, so that no thread of ours is cut off mid-way.
                self._watcher.join(1.0)
        if self._handled:
            # The process is on its way out: a second Ctrl-C during the summary
            # must not leave it waiting on an abandoned scan at exit.
            return
        for signum, previous_handler in self._saved.items():
            signal.signal(signum, previous_handler)


class RunState:
    """What ended the run, for its exit status and its last line."""

    def __init__(self) -> None:
        self.stats = Stats()
        self.write_failure: str | None = None
        self.abort: str | None = None
        self.interrupted: int | None = None
        self.array_line: int | None = None
        self.notes: list[str] = []
        #: --summary-json's file, opened before the run started.
        self.summary_file: Any = None
        #: The thread that reads the input, once there is one.
        self.reader: threading.Thread | None = None


def settings_line(args: Any) -> str:
    jobs = f", {args.jobs} processes" if args.jobs > 1 else ""
    cap = f", max {args.max_chars} chars" if getattr(args, "max_chars", None) is not None else ""
    return (f"timeout {args.timeout_ms} ms, audit mode {'on' if args.audit_mode else 'off'}{cap}{jobs}; "
            f"input guard {args.input_guard}, neural guard {args.neural_guard}, output shield {args.output_shield}")


def finish(args: Any, state: RunState, stderr: TextIO, fmt: str) -> int:
    """Write the summary and the verdict of the gate; return the exit status."""
    stats = state.stats
    stats.elapsed = time.monotonic() - stats.started
    counts = stats.gate_counts()
    failing = [category for category in args.fail_on if counts[category]]
    all_errors = stats.records > 0 and stats.error_count == stats.records
    stopped = None
    line: str | None
    if state.interrupted is not None:
        stopped = "interrupted"
        name = "SIGTERM" if state.interrupted == signal.SIGTERM else "interrupt (SIGINT)"
        status = EXIT[state.interrupted]
        line = f"norv screen: stopped by {name} after {plural(stats.records, 'record')} (exit status {status})"
    elif state.abort is not None:
        stopped = "stopped by a guard"
        status = EXIT["guard"]
        line = f"norv screen: error: {state.abort}; the run stopped (exit status {status})"
    elif state.write_failure is not None:
        stopped = "stopped: a write failed"
        status = EXIT["write"]
        line = f"norv screen: error: {state.write_failure}; the run stopped (exit status {status})"
    elif all_errors:
        status = EXIT["unscreened"]
        line = f"norv screen: FAILED: every record was an error, nothing was screened (exit status {status})"
        if fmt == "jsonl" and set(stats.errors) == {"malformed_json"}:
            line = line + "; if the input is plain text, one prompt a line, use --format text"
    elif failing:
        status = EXIT["unscreened"] if UNSCREENED_CATEGORIES.intersection(failing) else EXIT["detection"]
        found = ", ".join(f"{category} {counts[category]}" for category in failing)
        line = (f"norv screen: FAILED the gate (--fail-on {','.join(args.fail_on)}): {found} "
                f"(exit status {status})")
    else:
        status = EXIT["ok"]
        line = f"norv screen: passed the gate (--fail-on {','.join(args.fail_on)})" if args.fail_on else None
    if state.summary_file is not None:
        data = summary_data(stats, args, status=status, stopped=stopped, message=line, counts=counts, failing=failing)
        try:
            view = memoryview((dumps(data, ensure_ascii=False, allow_nan=False) + "\n").encode("utf-8"))
            while view:
                view = view[state.summary_file.write(view):]
        except (OSError, ValueError) as exc:
            if status in (EXIT["ok"], EXIT["detection"], EXIT["unscreened"]):
                status = EXIT["write"]
                line = (f"norv screen: error: {WriteFailed(f'the summary to {args.summary_json!r}', exc)}; "
                        f"the run stopped (exit status {status})")
    try:
        stderr.write(render_summary(stats, settings_line(args), status_line=line, notes=state.notes,
                                    stopped=stopped))
        stderr.flush()
    except (OSError, ValueError):
        pass
    return status


def summary_data(stats: Stats, args: Any, *, status: int, stopped: str | None, message: str | None,
                 counts: dict[str, int], failing: list[str]) -> dict[str, Any]:
    """The summary for machines (``--summary-json``): the figures the text summary shows."""
    latency = {}
    for call, histogram in stats.latency.items():
        latency[call] = {"calls": histogram.count,
                         **{f"p{pct}": round(histogram.percentile(pct) * 1000, 6) for pct in (50, 95, 99)},
                         "max": round(histogram.high * 1000, 6)}
    return {
        "status": status,
        "stopped": stopped,
        "message": message,
        "records": stats.records,
        "screened": stats.records - stats.error_count,
        "errors": dict(sorted(stats.errors.items())),
        "input": {verdict: count for verdict, count in stats.input_verdicts.items() if count},
        "output": {verdict: count for verdict, count in stats.output_verdicts.items() if count},
        "events": [{"event": event, "module": module, "count": count}
                   for (event, module), count in sorted(stats.events.items())],
        "unscanned": stats.unscanned,
        "too_long": stats.too_long,
        "gate": {"fail_on": list(args.fail_on), "failing": failing, "counts": counts},
        "latency_ms": latency,
        "elapsed_seconds": round(stats.elapsed, 6),
        "settings": {"timeout_ms": args.timeout_ms, "audit_mode": args.audit_mode, "jobs": args.jobs,
                     "max_chars": getattr(args, "max_chars", None),
                     "max_line_bytes": getattr(args, "max_line_bytes", None),
                     "input_guard": args.input_guard, "neural_guard": args.neural_guard,
                     "output_shield": args.output_shield},
    }


# --- the single-process run ------------------------------------------------------


def _open_text(path: str, mode: str, what: str) -> TextIO:
    try:
        return cast(TextIO, open(path, mode, encoding="utf-8", newline="\n", buffering=1 << 16))
    except OSError as exc:
        raise Fatal(f"cannot open {what} {path!r}: {exc.strerror or exc}") from None


class Destinations:
    """The run's result and audit streams, buffered; flushed about once a second and at the end."""

    def __init__(self, args: Any, stdout: TextIO, stderr: TextIO, progress: Progress, audit_default: bool) -> None:
        self.progress = progress
        self._stack = contextlib.ExitStack()
        self._stderr = stderr
        if args.output is not None:
            self.out = self._stack.enter_context(_open_text(args.output, "w", "output"))
            self.out_name = f"results to {args.output!r}"
            self._out_terminal = False
        else:
            self.out = stdout
            self.out_name = "results to standard output"
            self._out_terminal = progress.active and _isatty(stdout)
        #: Where the run's standard-error text goes (guards' prints, the last-resort line, audit lines on stderr).
        self.err: TextIO = io.StringIO() if progress.active else stderr
        self.audit: AuditWriter | None = None
        if args.audit_log not in (None, "-"):
            self.audit = AuditWriter(self._stack.enter_context(_open_text(args.audit_log, "a", "audit log")))
            self.audit_name = f"audit events to {args.audit_log!r}"
        elif args.audit_log == "-" or audit_default:
            self.audit = AuditWriter(self.err)
            self.audit_name = "audit events to standard error"

    def check(self) -> None:
        if self.audit is not None and self.audit.failure is not None:
            raise WriteFailed(self.audit_name, self.audit.failure)

    def flush(self) -> None:
        """Hand buffered lines on (results first: an audit line never precedes its record's result)."""
        try:
            if self._out_terminal:
                self.progress.write_above(self.out, "")
            else:
                self.out.flush()
        except (OSError, ValueError) as exc:
            raise WriteFailed(self.out_name, exc) from None
        self._flush_err()
        if self.audit is not None and self.audit.stream is not self.err:
            try:
                self.audit.stream.flush()
            except (OSError, ValueError) as exc:
                raise WriteFailed(self.audit_name, exc) from None
        self.check()

    def _flush_err(self) -> None:
        if isinstance(self.err, io.StringIO):
            text = self.err.getvalue()
            if text:
                self.err.seek(0)
                self.err.truncate()
                try:
                    self.progress.write_above(self._stderr, text)
                except (OSError, ValueError) as exc:
                    raise WriteFailed("to standard error", exc) from None
        else:
            try:
                self.err.flush()
            except (OSError, ValueError) as exc:
                raise WriteFailed("to standard error", exc) from None

    def close(self) -> str | None:
        """Flush and close what the run opened; the first failure's message, if any."""
        failure = None
        try:
            self.flush()
        except WriteFailed as exc:
            failure = str(exc)
        try:
            self._stack.close()
        except (OSError, ValueError) as exc:
            failure = failure or str(WriteFailed(self.out_name, exc))
        return failure


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _close_unless_read(source: Any, state: RunState) -> None:
    # Closing a buffered reader frees its buffer under a thread still reading
    # it (CPython does not guard against that); a reader still blocked in a
    # read is left the file, which the process's end closes.
    if state.reader is None or not state.reader.is_alive():
        source.close()


def run(args: Any, stdin: Any, stdout: TextIO, stderr: TextIO) -> Outcome:
    """Screen every record named by ``args``; raises :class:`Fatal` for unusable settings."""
    from norv.cli.jobs import Workers

    audit_default = args.audit_log is None and not _isatty(stderr) and not getattr(args, "quiet", False)
    check_destinations(args, audit_to_stderr=args.audit_log == "-" or audit_default)
    state = RunState()
    with contextlib.ExitStack() as stack:
        source, fmt, size = open_source(args, stdin)
        if source is not stdin:
            stack.callback(_close_unless_read, source, state)
        if getattr(args, "summary_json", None) is not None:
            try:
                # Unbuffered: a write that fails leaves nothing for closing to fail on again.
                state.summary_file = stack.enter_context(open(args.summary_json, "wb", buffering=0))
            except OSError as exc:
                raise Fatal(f"cannot open summary file {args.summary_json!r}: {exc.strerror or exc}") from None
        # Guards are loaded, checked and warmed in every worker before any input
        # is read: a guard that cannot screen stops the run with one line, and
        # the first record pays for no start-up.
        workers = stack.enter_context(Workers(args, fmt, audit_wanted=args.audit_log is not None or audit_default,
                                              audit_to_err=args.audit_log == "-" or audit_default))
        refuse_array(args, source, fmt)
        outcome = workers.run(source, fmt, size, stdout, stderr, audit_default, state)
    return outcome
