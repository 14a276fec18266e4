"""Where a `norv screen` run reads and writes: the input, the result and audit streams, standard error.

Results go to standard output (or ``-o``) and nothing else does: what guards
print goes to standard error with the audit events bound there. Lines are
written whole, and a destination that fails is reported once, by name.
"""

from __future__ import annotations

import contextlib
import io
import logging
import os
import stat
import threading
from collections.abc import Iterator
from typing import Any, TextIO, cast

from norv import screening
from norv.cli.errors import Fatal, WriteFailed
from norv.cli.records import ARRAY_MESSAGE, format_for_path, looks_like_array
from norv.cli.report import Progress
from norv.cli.settings import Settings

__all__ = [
    "AuditWriter",
    "Destinations",
    "FdWriter",
    "ToStderr",
    "audit_logging",
    "check_destinations",
    "isatty",
    "open_source",
    "refuse_array",
]


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
    from norv.utils.logger import is_passive, setup_logger

    logger = setup_logger(screening.AUDIT_LOGGER)
    propagate = logger.propagate
    # The run decides where events go: no fallback printing, no propagation to a
    # root handler that a guard's import may have configured. Passive collectors stay.
    removed = [existing for existing in logger.handlers if not is_passive(existing)]
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


class ToStderr(io.TextIOBase):
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


def check_destinations(settings: Settings, audit_to_stderr: bool) -> None:
    """Refuse, before anything is opened for writing, to write over the input or to mix results and audit.

    Files are compared by device and inode, so a symlink or a hard link to the
    input is caught as well as the same path.
    """
    source = _identity(settings.input) if settings.input != "-" else _identity(fd=0)
    out = _identity(settings.output) if settings.output is not None else _identity(fd=1)
    audit_path = settings.audit_log if settings.audit_log not in (None, "-") else None
    audit = _identity(audit_path) if audit_path is not None else (_identity(fd=2) if audit_to_stderr else None)
    input_name = repr(settings.input) if settings.input != "-" else "standard input"
    out_name = f"-o {settings.output!r}" if settings.output is not None else "standard output"
    audit_name = f"--audit-log {audit_path!r}" if audit_path is not None else "standard error (audit events)"
    if source is not None and out == source:
        raise Fatal(f"{out_name} is the input {input_name}: writing results would destroy it; choose another output")
    if source is not None and audit == source:
        raise Fatal(f"{audit_name} is the input {input_name}: writing audit events would corrupt it; "
                    "choose another audit log")
    # Results and audit events on one terminal or one `> log 2>&1` file is a choice; two named files are not.
    if (audit_path is not None or settings.output is not None) and audit is not None and audit == out:
        raise Fatal(f"{audit_name} is also where the results go ({out_name}); give them different files")
    if (audit_path is not None and settings.output is not None and not os.path.lexists(audit_path)
            and os.path.realpath(audit_path) == os.path.realpath(settings.output)):
        raise Fatal(f"{audit_name} is also where the results go ({out_name}); give them different files")
    summary_path = settings.summary_json
    if summary_path is not None:
        summary = _identity(summary_path)
        taken = [(source, f"the input {input_name}"), (out, f"where the results go ({out_name})"),
                 (audit if audit_path is not None else None, audit_name)]
        for identity, what in taken:
            if summary is not None and summary == identity:
                raise Fatal(f"--summary-json {summary_path!r} is also {what}; give it a file of its own")
        named = [settings.input if settings.input != "-" else None, settings.output, audit_path]
        if any(path is not None and os.path.realpath(path) == os.path.realpath(summary_path) for path in named):
            raise Fatal(f"--summary-json {summary_path!r} is also the input, the results or the audit log; "
                        "give it a file of its own")


def open_source(settings: Settings, stdin: Any) -> tuple[Any, str, int | None]:
    """The input stream, its format and its size (None when unknown); nothing of it read yet."""
    fmt = settings.format
    if settings.input == "-":
        source = stdin
        if fmt == "auto":
            fmt = "jsonl"
    else:
        if fmt == "auto":
            found = format_for_path(settings.input)
            if found is None:
                raise Fatal(f"cannot tell the format of {settings.input!r} from its suffix; "
                            "use --format jsonl or --format text")
            fmt = found
        try:
            source = open(settings.input, "rb")
        except OSError as exc:
            raise Fatal(f"cannot open {settings.input!r}: {exc.strerror or exc}") from None
        if settings.input.lower().endswith(".gz"):
            return _gzip_source(settings.input, source), fmt, None  # the bar counts records: no size to go by
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


def refuse_array(settings: Settings, source: Any, fmt: str) -> None:
    """Raise :class:`Fatal` when JSON Lines input starts as a JSON array (reads its start, keeps it buffered)."""
    if fmt == "jsonl":
        peek = getattr(source, "peek", None)
        if peek is not None and looks_like_array(peek(4096)[:4096]):
            raise Fatal(f"{settings.input_name} {ARRAY_MESSAGE}")



def _open_text(path: str, mode: str, what: str) -> TextIO:
    try:
        return cast(TextIO, open(path, mode, encoding="utf-8", newline="\n", buffering=1 << 16))
    except OSError as exc:
        raise Fatal(f"cannot open {what} {path!r}: {exc.strerror or exc}") from None


class Destinations:
    """The run's result and audit streams, buffered; flushed about once a second and at the end."""

    def __init__(self, settings: Settings, stdout: TextIO, stderr: TextIO, progress: Progress,
                 audit_default: bool) -> None:
        self.progress = progress
        self._stack = contextlib.ExitStack()
        self._stderr = stderr
        if settings.output is not None:
            self.out = self._stack.enter_context(_open_text(settings.output, "w", "output"))
            self.out_name = f"results to {settings.output!r}"
            self._out_terminal = False
        else:
            self.out = stdout
            self.out_name = "results to standard output"
            self._out_terminal = progress.active and isatty(stdout)
        #: Where the run's standard-error text goes (guards' prints, the last-resort line, audit lines on stderr).
        self.err: TextIO = io.StringIO() if progress.active else stderr
        self.audit: AuditWriter | None = None
        if settings.audit_log not in (None, "-"):
            self.audit = AuditWriter(self._stack.enter_context(_open_text(settings.audit_log, "a", "audit log")))
            self.audit_name = f"audit events to {settings.audit_log!r}"
        elif settings.audit_log == "-" or audit_default:
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


def isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False
