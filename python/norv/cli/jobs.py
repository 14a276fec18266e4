"""`norv screen`: the screening in N worker processes (one for ``--jobs 1``), results in input order.

The workers are forked before the input is read; each builds, checks and
warms its own pipeline and says it is ready (or, in one line, why it cannot
start). The main process then reads the input in chunks of whole lines and
deals them out round-robin; each worker screens a chunk with the
:class:`~norv.cli.screener.Screener` and sends back result lines, what was
printed, audit lines and counts: every ``PART_SECONDS`` while the chunk lasts
and at its end. The main process writes them in input order and merges the
counts into one summary, so the output does not depend on N. A bounded number
of chunks is in flight, so memory stays flat.

Guards never run in the main process: whatever ends a worker (``os._exit``,
a crash, a kill) leaves the main process to write what came back, the
summary and status 5. Sending parts as the chunk goes, and writing on an
interrupt what has come back, keeps what such a death or an interrupt loses to
the last ``PART_SECONDS`` of screening.

A feeder thread sends the chunks while the main thread collects: with both on
one thread, a worker blocked on sending a large result and the main process
blocked on sending it the next chunk would wait for each other.
"""

from __future__ import annotations

import contextlib
import io
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import time
import traceback
from typing import Any, TextIO

from norv.cli.errors import Fatal, GuardAbort, WriteFailed
from norv.cli.loading import build_pipeline, resolve_ref
from norv.cli.outcome import RunState
from norv.cli.records import ARRAY_MESSAGE, JsonArrayInput, LineTooLarge, bounded_lines, read_records
from norv.cli.report import Progress, Stats
from norv.cli.screener import Screener
from norv.cli.settings import GUARD_OPTIONS, Settings
from norv.cli.signals import INTERRUPTS, Signals
from norv.cli.streams import AuditWriter, Destinations, ToStderr, audit_logging

__all__ = ["Workers"]

CHUNK_BYTES = 1 << 16
CHUNK_LINES = 256
#: Chunks sent to each worker and not yet collected.
IN_FLIGHT = 3
#: A worker sends what it has screened of a chunk at least this often.
PART_SECONDS = 0.02

_READY, _FATAL, _PART, _RESULT, _END = b"S", b"F", b"P", b"R", b"E"


class _Stopped(Exception):
    """The collector stopped the run: the feeder sends nothing more."""


def _chunk_lines(data: bytes, oversize: tuple[int, ...], limit: int) -> Any:
    """The lines of a chunk, the placeholders of over-long lines given back as :class:`LineTooLarge`."""
    lines = io.BytesIO(data)
    if not oversize:
        return lines
    marked = frozenset(oversize)
    return (LineTooLarge(limit) if index in marked else raw for index, raw in enumerate(lines))


def _worker(settings: Settings, fmt: str, tasks: Any, results: Any, others: list[Any], audit_wanted: bool,
            audit_to_err: bool) -> None:
    """A worker process's life: build and warm the pipeline, screen chunks until told to stop."""
    for connection in others:  # the other workers' pipe ends, inherited through fork
        connection.close()
    # Ctrl-C reaches the whole process group; the main process decides what it means.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    # Standard output is the main process's result stream: whatever a guard prints goes to standard error.
    os.dup2(2, 1)
    status = 0
    try:
        try:
            pipeline = build_pipeline(settings.guards)
        except Fatal as exc:
            results.send_bytes(_FATAL + str(exc).encode("utf-8", "backslashreplace"))
            return
        results.send_bytes(_READY)
        # What guards print and the last-resort lines go back with the results, so the main
        # process writes them between whole audit lines; audit lines bound for standard
        # error share that buffer and keep their order with them.
        printed = io.StringIO()
        audit_buffer = printed if audit_to_err else io.StringIO()
        audit = AuditWriter(audit_buffer) if audit_wanted else None
        captured = ToStderr(printed)
        screener = Screener(pipeline, settings.guards, Stats(), Signals())
        keep = settings.keep_keys
        limit = settings.max_line_bytes

        def send(kind: bytes, lines: list[str], stop: tuple[str, str] | None) -> None:
            with captured.lock:  # a pool thread's line is either in this part or in the next
                printed_text = printed.getvalue()
                printed.seek(0)
                printed.truncate()
            audit_text = ""
            if audit_buffer is not printed:
                audit_text = audit_buffer.getvalue()
                audit_buffer.seek(0)
                audit_buffer.truncate()
            stats, screener.stats = screener.stats, Stats()
            results.send_bytes(kind + pickle.dumps(("".join(lines), printed_text, audit_text, stats, stop), 5))

        with audit_logging(audit), contextlib.redirect_stdout(captured), contextlib.redirect_stderr(captured):
            while True:
                task = tasks.recv_bytes()
                if not task:
                    break
                first, data, oversize = pickle.loads(task)
                lines: list[str] = []
                stop: tuple[str, str] | None = None
                due = time.monotonic() + PART_SECONDS
                line = first
                try:
                    for item in read_records(_chunk_lines(data, oversize, limit), fmt, first, keep):
                        line = item.line
                        lines.append(screener.result_line(item))
                        now = time.monotonic()
                        if now >= due:
                            send(_PART, lines, None)
                            lines = []
                            due = now + PART_SECONDS
                except GuardAbort as exc:
                    stop = ("abort", str(exc))
                except JsonArrayInput as exc:
                    stop = ("array", str(exc.args[0]))
                except Exception as exc:  # a fault of the command itself: the run stops, with its reason
                    stop = ("abort", f"screening line {line} failed: {type(exc).__name__}: {exc}")
                if audit is not None and audit.failure is not None:
                    stop = ("abort", f"a worker could not keep audit events: {audit.failure}")
                send(_RESULT, lines, stop)
                if stop is not None:
                    status = 1
                    break
        captured.close_lines()
        results.send_bytes(_END + printed.getvalue().encode("utf-8", "backslashreplace"))
    except (BrokenPipeError, EOFError, OSError):
        status = 1  # the main process is gone or stopped the run
    except BaseException:
        traceback.print_exc(file=sys.__stderr__)
        status = 1
    finally:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            sys.__stderr__.flush()  # type: ignore[union-attr]
        # Abandoned scans may still run on the pool: leave without joining it.
        os._exit(status)


class _Feeder(threading.Thread):
    """Reads the input and deals chunks of whole lines out to the workers, in turn.

    Whatever ends the reading (the end of the input, a read that fails, even
    MemoryError) tells every worker that the input has ended, so the
    collector is never left waiting for a chunk that will not come; a failure
    is kept in :attr:`error` for the run's last line.
    """

    def __init__(self, source: Any, connections: list[Any], limit: int) -> None:
        super().__init__(name="norv-feeder", daemon=True)
        self.source = source
        self.connections = connections
        self.limit = limit
        self.slots = threading.Semaphore(IN_FLIGHT * len(connections))
        self.bytes_read = 0
        self.error: BaseException | None = None
        self.stopped = False
        #: The first and last line of each chunk sent, by chunk number.
        self.spans: dict[int, tuple[int, int]] = {}

    def _send(self, index: int, first: int, lines: list[bytes], oversize: list[int]) -> None:
        self.slots.acquire()
        if self.stopped:
            raise _Stopped
        self.spans[index] = (first, first + len(lines) - 1)
        self.connections[index % len(self.connections)].send_bytes(
            pickle.dumps((first, b"".join(lines), tuple(oversize)), 5))

    def run(self) -> None:
        try:
            index, first, size = 0, 1, 0
            lines: list[bytes] = []
            oversize: list[int] = []
            for raw in bounded_lines(self.source, self.limit, lambda: self.stopped):
                if isinstance(raw, LineTooLarge):
                    # The line was never held: a placeholder goes in its place, and the
                    # chunk goes now, so its result does not wait for the line's end.
                    oversize.append(len(lines))
                    lines.append(b"\n")
                    size += self.limit
                else:
                    lines.append(raw)
                    size += len(raw)
                if oversize or size >= CHUNK_BYTES or len(lines) >= CHUNK_LINES:
                    self._send(index, first, lines, oversize)
                    self.bytes_read += size
                    index, first, lines, size, oversize = index + 1, first + len(lines), [], 0, []
            if lines:
                self._send(index, first, lines, oversize)
                self.bytes_read += size
        except _Stopped:
            return
        except BaseException as exc:
            if self.stopped:
                return
            self.error = exc
        for connection in self.connections:
            try:
                connection.send_bytes(b"")
            except (OSError, ValueError):
                pass  # that worker is gone: the collector says so


class Workers:
    """``settings.jobs`` worker processes, each with its own pipeline; all of them ready once entered.

    Entering raises :class:`Fatal` (the first worker's reason) when one cannot
    start; leaving kills those still running.
    """

    def __init__(self, settings: Settings, fmt: str, audit_wanted: bool, audit_to_err: bool = False) -> None:
        self.settings = settings
        self.fmt = fmt
        self.audit_wanted = audit_wanted
        self.audit_to_err = audit_to_err
        self.processes: list[Any] = []
        self.tasks: list[Any] = []
        self.results: list[Any] = []

    def __enter__(self) -> Workers:
        try:
            self._fork()
            _start(self.processes, self.results)
        except BaseException:
            self.__exit__()
            raise
        return self

    def _fork(self) -> None:
        settings = self.settings
        # Imports only, so that a wrong REF fails before any process starts; the
        # guards themselves are built in each worker.
        for option, attr in GUARD_OPTIONS:
            resolve_ref(option, settings.guards.ref(attr))
        context = multiprocessing.get_context("fork")
        pipes = [(context.Pipe(duplex=False), context.Pipe(duplex=False)) for _ in range(settings.jobs)]
        for index, ((task_read, task_write), (result_read, result_write)) in enumerate(pipes):
            others = [end for number, pair in enumerate(pipes) if number != index for pipe in pair for end in pipe]
            others += [task_write, result_read]
            process = context.Process(target=_worker, name=f"norv-screen-{index + 1}", daemon=True,
                                      args=(settings, self.fmt, task_read, result_write, others,
                                            self.audit_wanted, self.audit_to_err))
            process.start()
            self.processes.append(process)
        for (task_read, task_write), (result_read, result_write) in pipes:
            task_read.close()
            result_write.close()
            self.tasks.append(task_write)
            self.results.append(result_read)

    def run(self, source: Any, fmt: str, size: int | None, stdout: TextIO, stderr: TextIO,
            audit_default: bool, state: RunState) -> bool:
        """Screen ``source`` with the workers, what ended it in ``state``; whether scans were abandoned."""
        return _collect(self.settings, source, fmt, size, stdout, stderr, audit_default, self.processes,
                        self.tasks, self.results, state)

    def __exit__(self, *exc: object) -> None:
        for process in self.processes:
            if process.is_alive():
                process.kill()
        for process in self.processes:
            process.join(5)


def _start(workers: list[Any], results: list[Any]) -> None:
    """Wait until every worker has built and warmed its pipeline; the first failure is the run's."""
    for number, (process, connection) in enumerate(zip(workers, results, strict=True), start=1):
        try:
            message = connection.recv_bytes()
        except EOFError:
            raise Fatal(f"worker process {number} ended before it was ready (exit code {process.exitcode})") from None
        if message[:1] == _FATAL:
            raise Fatal(message[1:].decode("utf-8", "replace"))


def _died(process: Any, number: int, jobs: int, span: tuple[int, int] | None) -> str:
    """The run's last words for a worker that ended without a word."""
    process.join(1.0)
    code = process.exitcode
    if code is None:
        how = "closed its pipe"
    elif code < 0:
        try:
            how = f"was killed by {signal.Signals(-code).name}"
        except ValueError:
            how = f"was killed by signal {-code}"
    else:
        how = f"exited with code {code}"
    who = f"worker process {number}" if jobs > 1 else "the screening process"
    where = f" while screening lines {span[0]}-{span[1]}" if span is not None else ""
    return f"{who} {how}{where} (a guard may have ended it); the results that came back are written"


def _collect(settings: Settings, source: Any, fmt: str, size: int | None, stdout: TextIO, stderr: TextIO,
             audit_default: bool, workers: list[Any], tasks: list[Any], results: list[Any], state: RunState) -> bool:
    progress = Progress(stderr, size, enabled=settings.progress)
    dest = Destinations(settings, stdout, stderr, progress, audit_default)
    if dest.audit is None and settings.audit_log is None and not settings.quiet:
        state.notes.append("audit events: in each result line's \"events\"; --audit-log PATH (or - for "
                           "standard error) writes them as JSON lines")
    feeder = _Feeder(source, tasks, settings.max_line_bytes)
    state.reader = feeder
    abandoned = False
    array_line = None
    with Signals() as signals:
        # Born with the interrupts blocked: the kernel hands them to the main thread.
        if hasattr(signal, "pthread_sigmask"):
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTS)
            try:
                feeder.start()
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        else:  # pragma: no cover
            feeder.start()
        index = 0
        #: A message received and not yet written: an interrupt may come between the two.
        held: bytes | None = None

        def collect(draining: bool) -> None:
            """Write what comes back, chunk by chunk in input order; draining, only what has come already."""
            nonlocal index, abandoned, array_line, held
            while True:
                number = index % len(results)
                if held is None and draining and not results[number].poll(0):
                    return
                try:
                    if held is None:
                        # Waiting is interruptible; reading is not: an interrupt in the middle
                        # of a message would lose it and leave the pipe out of step.
                        if not draining:
                            results[number].poll(None)
                        with contextlib.nullcontext() if draining else signals.deferred():
                            held = results[number].recv_bytes()
                    message = held
                except EOFError:
                    state.abort = _died(workers[number], number + 1, len(results), feeder.spans.get(index))
                    abandoned = True
                    return
                kind = message[:1]
                if kind == _END:
                    held = None
                    if len(message) > 1:
                        dest.err.write(message[1:].decode("utf-8", "replace"))
                    return  # round-robin: no chunk `index`, the input has ended
                # Results, what was printed, audit lines and their counts go out together:
                # an interrupt waits for them, so the summary counts every line written and
                # no audit line is cut off by it.
                with contextlib.nullcontext() if draining else signals.deferred():
                    held = None
                    lines, printed, audit_text, stats, stop = pickle.loads(memoryview(message)[1:])
                    if kind == _RESULT:
                        feeder.slots.release()
                        feeder.spans.pop(index, None)
                    try:
                        dest.out.write(lines)
                    except (OSError, ValueError) as exc:
                        state.write_failure = str(WriteFailed(dest.out_name, exc))
                        return
                    state.stats.merge(stats)
                    if printed:
                        dest.err.write(printed)
                    if audit_text and dest.audit is not None:
                        try:
                            dest.audit.stream.write(audit_text)
                        except (OSError, ValueError) as exc:
                            state.write_failure = str(WriteFailed(dest.audit_name, exc))
                            return
                    if stop is None and not draining:
                        try:
                            dest.flush()
                        except WriteFailed as exc:
                            state.write_failure = str(exc)
                            return
                if stop is not None:
                    if stop[0] == "array":
                        array_line = int(stop[1])
                    else:
                        state.abort = stop[1]
                        abandoned = True
                    return
                if progress.active and not draining:
                    progress.update(state.stats.records, feeder.bytes_read)
                if kind == _RESULT:
                    index += 1

        try:
            collect(draining=False)
            if feeder.error is not None and state.write_failure is None and state.abort is None:
                error = feeder.error
                state.abort = f"reading the input failed: {type(error).__name__}: {error}".rstrip(": ")
        except KeyboardInterrupt:
            state.interrupted = signals.received if signals.received is not None else signal.SIGINT
            abandoned = True
            # What the workers sent before the interrupt is kept: a record screened is a line written.
            with contextlib.suppress(OSError, ValueError, EOFError, pickle.UnpicklingError):
                collect(draining=True)
        finally:
            feeder.stopped = True
            feeder.slots.release()
            # It ends at its next read; a read blocked on a pipe keeps it alive,
            # and the input is then left open (see norv.cli.screen.run).
            feeder.join(0.5)
        progress.finish()
        # Still under the handlers: an interrupt now is the run's, with lines kept whole.
        try:
            with signals.deferred():
                failure = dest.close()
        except KeyboardInterrupt:
            failure = None
            if state.interrupted is None:
                state.interrupted = signals.received if signals.received is not None else signal.SIGINT
                abandoned = True
    if failure and state.write_failure is None and state.interrupted is None and state.abort is None:
        state.write_failure = failure
    if array_line is not None:
        raise Fatal(f"{settings.input_name} {ARRAY_MESSAGE}")
    return abandoned
