"""SIGINT and SIGTERM during a `norv screen` run: noted, acted on once, never in the middle of a line."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from collections.abc import Iterator
from typing import Any

__all__ = ["INTERRUPTS", "Signals"]

INTERRUPTS = (signal.SIGINT, signal.SIGTERM)


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
            for signum in INTERRUPTS:
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
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTS)
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
