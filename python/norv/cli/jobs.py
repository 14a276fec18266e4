"""`norv screen --jobs N`: the same screening in N worker processes, results in input order.

The workers are forked before the input is read; each builds, checks and
warms its own pipeline and says it is ready (or, in one line, why it cannot
start). The main process then reads the input in chunks of whole lines and
deals them out round-robin; each worker screens a chunk with the same :class:`~norv.cli.screen.Screener` as a
one-process run and sends back the chunk's result lines, its audit lines and
its counts. The main process writes them chunk by chunk in input order, so the
output is the one a one-process run writes, and merges the counts into one
summary. A bounded number of chunks is in flight, so memory stays flat.

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
from typing import Any, TextIO

from norv.cli.records import ARRAY_MESSAGE, JsonArrayInput, read_records
from norv.cli.report import Progress, Stats
from norv.cli.screen import (
    GUARD_OPTIONS,
    AuditWriter,
    Destinations,
    Fatal,
    GuardAbort,
    Outcome,
    RunState,
    Screener,
    Signals,
    WriteFailed,
    _ToStderr,
    audit_logging,
    build_pipeline,
    finish,
    resolve_ref,
)

__all__ = ["Workers"]

CHUNK_BYTES = 1 << 16
CHUNK_LINES = 256
#: Chunks sent to each worker and not yet collected.
IN_FLIGHT = 3

_READY, _FATAL, _RESULT, _END = b"S", b"F", b"R", b"E"


def _worker(args: Any, fmt: str, tasks: Any, results: Any, others: list[Any], audit_wanted: bool) -> None:
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
            pipeline = build_pipeline(args)
        except Fatal as exc:
            results.send_bytes(_FATAL + str(exc).encode("utf-8", "backslashreplace"))
            return
        results.send_bytes(_READY)
        buffer = io.StringIO()
        audit = AuditWriter(buffer) if audit_wanted else None
        screener = Screener(pipeline, args, Stats(), Signals())
        with audit_logging(audit), contextlib.redirect_stdout(_ToStderr(sys.stderr)):
            while True:
                task = tasks.recv_bytes()
                if not task:
                    break
                first = int.from_bytes(task[:8], "little")
                screener.stats = Stats()
                lines: list[str] = []
                stop: tuple[str, str] | None = None
                try:
                    for item in read_records(io.BytesIO(memoryview(task)[8:]), fmt, first):
                        lines.append(screener.result_line(item))
                except GuardAbort as exc:
                    stop = ("abort", str(exc))
                except JsonArrayInput as exc:
                    stop = ("array", str(exc.args[0]))
                audit_text = buffer.getvalue()
                buffer.seek(0)
                buffer.truncate()
                if audit is not None and audit.failure is not None:
                    stop = ("abort", f"a worker could not keep audit events: {audit.failure}")
                results.send_bytes(_RESULT + pickle.dumps(("".join(lines), audit_text, screener.stats, stop), 5))
                if stop is not None:
                    status = 1
                    break
        results.send_bytes(_END)
    except (BrokenPipeError, EOFError, OSError):
        status = 1  # the main process is gone or stopped the run
    finally:
        sys.stderr.flush()
        # Abandoned scans may still run on the pool: leave without joining it.
        os._exit(status)


class _Feeder(threading.Thread):
    """Reads the input and deals chunks of whole lines out to the workers, in turn."""

    def __init__(self, source: Any, connections: list[Any]) -> None:
        super().__init__(name="norv-feeder", daemon=True)
        self.source = source
        self.connections = connections
        self.slots = threading.Semaphore(IN_FLIGHT * len(connections))
        self.bytes_read = 0
        self.error: BaseException | None = None
        self.stopped = False

    def _send(self, index: int, first: int, lines: list[bytes]) -> None:
        self.slots.acquire()
        if self.stopped:
            raise EOFError
        self.connections[index % len(self.connections)].send_bytes(first.to_bytes(8, "little") + b"".join(lines))

    def run(self) -> None:
        try:
            index, first, lines, size = 0, 1, [], 0
            for raw in self.source:
                lines.append(raw)
                size += len(raw)
                if size >= CHUNK_BYTES or len(lines) >= CHUNK_LINES:
                    self._send(index, first, lines)
                    self.bytes_read += size
                    index, first, lines, size = index + 1, first + len(lines), [], 0
            if lines:
                self._send(index, first, lines)
                self.bytes_read += size
            for connection in self.connections:
                connection.send_bytes(b"")
        except EOFError:
            pass
        except (OSError, ValueError) as exc:
            if not self.stopped:
                self.error = exc


class Workers:
    """``args.jobs`` worker processes, each with its own pipeline; all of them ready once entered.

    Entering raises :class:`Fatal` (the first worker's reason) when one cannot
    start; leaving kills those still running.
    """

    def __init__(self, args: Any, fmt: str, audit_wanted: bool) -> None:
        self.args = args
        self.fmt = fmt
        self.audit_wanted = audit_wanted
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
        args = self.args
        # Imports only, so that a wrong REF fails before any process starts; the
        # guards themselves are built in each worker.
        for option, attr in GUARD_OPTIONS:
            resolve_ref(option, getattr(args, attr))
        context = multiprocessing.get_context("fork")
        pipes = [(context.Pipe(duplex=False), context.Pipe(duplex=False)) for _ in range(args.jobs)]
        for index, ((task_read, task_write), (result_read, result_write)) in enumerate(pipes):
            others = [end for number, pair in enumerate(pipes) if number != index for pipe in pair for end in pipe]
            others += [task_write, result_read]
            process = context.Process(target=_worker, name=f"norv-screen-{index + 1}", daemon=True,
                                      args=(args, self.fmt, task_read, result_write, others,
                                            self.audit_wanted))
            process.start()
            self.processes.append(process)
        for (task_read, task_write), (result_read, result_write) in pipes:
            task_read.close()
            result_write.close()
            self.tasks.append(task_write)
            self.results.append(result_read)

    def run(self, source: Any, fmt: str, size: int | None, stdout: TextIO, stderr: TextIO,
            audit_default: bool) -> Outcome:
        """Screen ``source`` with the workers."""
        return _collect(self.args, source, fmt, size, stdout, stderr, audit_default, self.processes, self.tasks,
                        self.results, RunState())

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


def _collect(args: Any, source: Any, fmt: str, size: int | None, stdout: TextIO, stderr: TextIO,
             audit_default: bool, workers: list[Any], tasks: list[Any], results: list[Any], state: RunState) -> Outcome:
    progress = Progress(stderr, size, enabled=not args.no_progress)
    dest = Destinations(args, stdout, stderr, progress, audit_default)
    if dest.audit is None and args.audit_log is None:
        state.notes.append("audit events: in each result line's \"events\"; --audit-log PATH (or - for "
                           "standard error) writes them as JSON lines")
    feeder = _Feeder(source, tasks)
    abandoned = False
    array_line = None
    with Signals() as signals:
        feeder.start()
        try:
            index = 0
            while True:
                number = index % len(results)
                try:
                    message = results[number].recv_bytes()
                except EOFError:
                    state.abort = f"worker process {number + 1} died (exit code {workers[number].exitcode})"
                    abandoned = True
                    break
                if message[:1] == _END:
                    break  # round-robin: no chunk `index`, the input has ended
                lines, audit_text, stats, stop = pickle.loads(memoryview(message)[1:])
                feeder.slots.release()
                try:
                    dest.out.write(lines)
                except (OSError, ValueError) as exc:
                    state.write_failure = str(WriteFailed(dest.out_name, exc))
                    break
                if audit_text and dest.audit is not None:
                    try:
                        dest.audit.stream.write(audit_text)
                    except (OSError, ValueError) as exc:
                        state.write_failure = str(WriteFailed(dest.audit_name, exc))
                        break
                state.stats.merge(stats)
                if stop is not None:
                    if stop[0] == "array":
                        array_line = int(stop[1])
                    else:
                        state.abort = stop[1]
                        abandoned = True
                    break
                try:
                    dest.flush()
                except WriteFailed as exc:
                    state.write_failure = str(exc)
                    break
                if progress.active:
                    progress.update(state.stats.records, feeder.bytes_read)
                index += 1
            if feeder.error is not None and state.write_failure is None and state.abort is None:
                state.abort = f"reading the input failed: {feeder.error}"
        except KeyboardInterrupt:
            state.interrupted = signals.received if signals.received is not None else signal.SIGINT
            abandoned = True
        finally:
            feeder.stopped = True
            feeder.slots.release()
    progress.finish()
    failure = dest.close()
    if failure and state.write_failure is None and state.interrupted is None and state.abort is None:
        state.write_failure = failure
    if array_line is not None:
        raise Fatal(f"{args.input if args.input != '-' else 'standard input'} {ARRAY_MESSAGE}")
    status = finish(args, state, stderr, fmt)
    # Workers are killed when the run stopped early; the feeder may be blocked on a pipe.
    return Outcome(status, abandoned or state.write_failure is not None or feeder.is_alive())
