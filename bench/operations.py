"""Figures for docs/operations.md: the backlog of abandoned scans, and the queue's memory.

    python bench/operations.py backlog   # stale scans drain after a hang; fresh attacks meanwhile
    python bench/operations.py queue     # RSS while scans of 100 KB prompts queue behind hung ones

Add ``--gated`` to run the same with an admission gate whose ``max_wait`` is the
time limit (50 ms): texts then pass at the gate instead of queueing.
"""

from __future__ import annotations

import logging
import resource
import sys
import threading
import time
from typing import Any

from norv import capacity, screening
from norv.core.coordinator import GovernanceCoordinator


def rss_mb() -> float:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize() / 2**20


class Model:
    """Refuses attacks after ``delay`` (lock released, like a model); hangs on "hang"."""

    refusal_message = "Refused."

    def __init__(self, delay: float, release: threading.Event) -> None:
        self.delay, self.release = delay, release

    def scan(self, content: str, metadata: Any = None) -> str:
        if content.startswith("hang"):
            self.release.wait()
        time.sleep(self.delay)
        return self.refusal_message if "attack" in content else content


def gate_if(gated: bool, coord: Any) -> None:
    if gated:
        capacity.install_gate(coord, max_wait=0.05)


def backlog(gated: bool, stale: int = 1000, delay: float = 0.02) -> None:
    release = threading.Event()
    coord = GovernanceCoordinator(50)
    coord.register_input_guard(Model(delay, release))
    gate_if(gated, coord)
    for i in range(4):
        coord.process_input(f"hang {i}")
    timed_out_stale = sum(screening.screen_input(coord, f"stale {i}").unscanned for i in range(stale))
    release.set()
    started = time.perf_counter()
    passed = checked = 0
    while True:
        result = screening.screen_input(coord, f"attack {checked}")
        checked += 1
        if result.verdict == "refused":
            break
        passed += 1
    print(f"{'gated: ' if gated else ''}{stale} stale scans ({timed_out_stale} passed unscanned) "
          f"behind 4 hung ones, guard {delay * 1000:g} ms: "
          f"after the hang cleared, {passed} attacks passed unscanned over {time.perf_counter() - started:.1f} s "
          f"before the first was refused")
    coord._executor.shutdown(wait=True)


def queue(gated: bool, count: int = 5000, size: int = 100_000) -> None:
    release = threading.Event()
    coord = GovernanceCoordinator(1)
    coord.register_input_guard(Model(0.0, release))
    gate_if(gated, coord)
    for i in range(4):
        coord.process_input(f"hang {i}")
    before = rss_mb()
    for i in range(count):
        coord.process_input(str(i).ljust(size, "x"))
    print(f"{'gated: ' if gated else ''}{count} calls of {size // 1000} KB prompts behind 4 hung scans: "
          f"RSS {before:.0f} MB -> {rss_mb():.0f} MB")
    release.set()
    coord._executor.shutdown(wait=True)


if __name__ == "__main__":
    logging.getLogger("norv.coordinator").addHandler(logging.NullHandler())
    logging.getLogger("norv.coordinator").propagate = False
    {"backlog": backlog, "queue": queue}[sys.argv[1] if len(sys.argv) > 1 else "backlog"]("--gated" in sys.argv)
