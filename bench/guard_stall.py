"""How long the reference guards keep the host waiting on a long text.

A scan that holds the interpreter lock for one long call stops every thread of
the host, the caller waiting on its time limit included. For each size this
measures, through a coordinator with the default 50 ms limit:

* ``return_ms``: how long ``process_input`` (PatternGuard, ordinary prose) or
  ``process_output`` (RedactionShield, text dense with personal data) takes to
  return: the limit, plus however long the scan kept the caller from taking
  the lock back;
* ``stall_call_ms`` / ``stall_ms``: the worst lateness of a thread that sleeps
  5 ms in a loop, during the call and over the whole life of the scan;
* ``scan_ms``: how long the abandoned scan takes to finish, and so its
  throughput (``mb_per_s``, megabytes of text per second).

A control row first gives the ticker's worst lateness beside a thread that only
runs Python code: what the machine's scheduling and the interpreter's 5 ms
switch interval allow at best, at that moment.

``--threshold`` instead looks for the longest prose prompt that PatternGuard
still screens within the limit (the call returns with the scan finished, no
time-out).

    python bench/guard_stall.py                       # 1, 10 and 100 MB, both guards
    python bench/guard_stall.py --sizes 1 10 --guards pattern
    python bench/guard_stall.py --threshold
    python bench/guard_stall.py --threshold --corpus prompts.txt   # your own traffic, repeated
    python bench/guard_stall.py --longest-call --sizes 10   # longest single lock hold, in CPU time
    python bench/guard_stall.py -o results.json       # also write the figures as JSON

Run it on an otherwise idle machine (``nice`` does not help: the stalls come
from the interpreter lock, not the CPU). Texts are generated from a fixed seed.
"""

from __future__ import annotations

import argparse
import json
import logging
import random
import statistics
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from norv.core.coordinator import GovernanceCoordinator
from norv.core.interfaces import SecurityModule
from norv.guards import PatternGuard, RedactionShield

MB = 1_000_000
TICK_S = 0.005

# Ordinary English, with the words the injection patterns start from mixed in
# ("ignore", "system", "you are", "act as", "show", "decode"), so the regex
# engine does the work it does on real prompts, but never in an order that forms
# an attack.
_WORDS = (
    "the of and to in is that for it as with was on be by at this are from or have an they which one you "
    "were her all she there would their we him been has when who will more no if out so said what up its "
    "about into than them can only other new some could time these two may then do first any my now such "
    "like our over man me even most made after also did many before must through back years where much "
    "your way well down should because each just those people how too little state good very make world "
    "still own see men work long get here between both life being under never day same another know while "
    "last might us great old year off come since against go came right used take three system report "
    "quarterly revenue customer service ignore typos previous meeting notes show settings print document "
    "act quickly decode message repeat question summary instructions below prompt engineering review data "
    "model training schedule budget forecast team project deadline release version update database server "
    "network security policy account invoice payment order delivery warehouse inventory supplier contract"
).split()


def prose(size: int, seed: int = 1) -> str:
    """``size`` characters of ASCII prose in sentences and paragraphs."""
    rng = random.Random(seed)
    # Build about 256 KB of distinct paragraphs, then repeat them in a shuffled order.
    paragraphs: list[str] = []
    total = 0
    while total < min(size, 256_000):
        sentences = []
        for _ in range(rng.randint(3, 7)):
            words = [rng.choice(_WORDS) for _ in range(rng.randint(6, 22))]
            sentence = " ".join(words)
            if rng.random() < 0.3:
                cut = rng.randint(2, len(words) - 2)
                sentence = " ".join(words[:cut]) + ", " + " ".join(words[cut:])
            sentences.append(sentence[0].upper() + sentence[1:] + rng.choice(".....?!"))
        paragraph = " ".join(sentences)
        paragraphs.append(paragraph)
        total += len(paragraph) + 2
    out: list[str] = []
    total = 0
    while total < size:
        rng.shuffle(paragraphs)
        for paragraph in paragraphs:
            out.append(paragraph)
            total += len(paragraph) + 2
            if total >= size:
                break
    return "\n\n".join(out)[:size]


def _luhn_complete(rng: random.Random, prefix: str, length: int) -> str:
    body = prefix + "".join(rng.choice("0123456789") for _ in range(length - len(prefix) - 1))
    for check in "0123456789":
        digits = body + check
        total = 0
        for index, char in enumerate(reversed(digits)):
            value = int(char)
            if index % 2:
                value *= 2
                if value > 9:
                    value -= 9
            total += value
        if total % 10 == 0:
            return digits
    raise AssertionError("unreachable")


def personal_data(size: int, seed: int = 2) -> str:
    """``size`` characters of support-ticket text dense with personal data and secrets."""
    rng = random.Random(seed)
    names = ["jane.doe", "j.smith", "maria_garcia", "li.wei", "o.connor", "admin", "support+tickets"]
    domains = ["example.com", "mail.example.co.uk", "corp.example.org", "example.net"]
    lines: list[str] = []
    total = 0
    while total < min(size, 256_000):
        card = _luhn_complete(rng, rng.choice(["4", "51", "37", "6011"]), 16)
        spaced = " ".join(card[i:i + 4] for i in range(0, 16, 4))
        kind = rng.randrange(8)
        if kind == 0:
            line = (f"Customer {rng.choice(names)}{rng.randint(1, 999)}@{rng.choice(domains)} called from "
                    f"+44 20 {rng.randint(1000, 9999)} {rng.randint(1000, 9999)} "
                    f"about order {rng.randint(10000, 99999)}.")
        elif kind == 1:
            line = (f"Card on file {spaced if rng.random() < 0.5 else card}, "
                    f"expiry {rng.randint(1, 12):02d}/{rng.randint(25, 31)}.")
        elif kind == 2:
            line = ("Refund to IBAN GB82 WEST 1234 5698 7654 32 or DE89 3704 0044 0532 0130 00, "
                    f"ref {rng.randint(1, 99999)}.")
        elif kind == 3:
            line = (f"Login from {rng.randint(1, 223)}.{rng.randint(0, 255)}."
                    f"{rng.randint(0, 255)}.{rng.randint(1, 254)} "
                    f"by {rng.choice(names)}@{rng.choice(domains)}; "
                    f"phone ({rng.randint(200, 999)}) {rng.randint(200, 999)}-{rng.randint(1000, 9999)}.")
        elif kind == 4:
            line = f"Config dump: api_key={''.join(rng.choice('abcdef0123456789') for _ in range(24))} region=eu-west-1"
        elif kind == 5:
            token = "".join(rng.choice("ABCDEFGHabcdefgh0123456789") for _ in range(32))
            line = f"Headers: Authorization: Bearer {token}"
        elif kind == 6:
            key = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") for _ in range(16))
            line = f"AWS key AKIA{key} was rotated."
        else:
            line = " ".join(rng.choice(_WORDS) for _ in range(rng.randint(8, 20))).capitalize() + "."
        lines.append(line)
        total += len(line) + 1
    out: list[str] = []
    total = 0
    while total < size:
        rng.shuffle(lines)
        for line in lines:
            out.append(line)
            total += len(line) + 1
            if total >= size:
                break
    return "\n".join(out)[:size]


class Timed(SecurityModule):
    """Runs ``inner`` and records when its scan ends and what it returned."""

    def __init__(self, inner: SecurityModule) -> None:
        self.inner = inner
        self.refusal_message = getattr(inner, "refusal_message", None)
        self.finished = threading.Event()
        self.started_at = 0.0
        self.ended_at = 0.0
        self.result: Any = None

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> Any:
        self.started_at = time.perf_counter()
        try:
            self.result = self.inner.scan(content, metadata)
            return self.result
        finally:
            self.ended_at = time.perf_counter()
            self.finished.set()


class Ticker:
    """A thread that sleeps 5 ms in a loop and records when it wakes."""

    def __init__(self) -> None:
        self.wakes: list[float] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ticker", daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            time.sleep(TICK_S)
            self.wakes.append(time.perf_counter())

    def __enter__(self) -> Ticker:
        self._thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def worst_stall(self, start: float, end: float) -> float:
        """The longest lateness, beyond its 5 ms sleep, of a wake in [start, end + one tick]."""
        worst = 0.0
        previous = None
        for wake in self.wakes:
            if previous is not None and wake >= start and previous <= end + TICK_S:
                worst = max(worst, wake - previous - TICK_S)
            previous = wake
        return worst


def _coordinator(guard: SecurityModule, kind: str, limit_ms: int) -> GovernanceCoordinator:
    coord = GovernanceCoordinator(limit_ms)
    if kind == "pattern":
        coord.register_input_guard(guard)
    else:
        coord.register_output_shield(guard)
    # Start the pool's worker before timing, as a long-running host has.
    getattr(coord, "process_input" if kind == "pattern" else "process_output")("warm up")
    return coord


def stall(kind: str, size_mb: float, limit_ms: int) -> dict[str, Any]:
    size = int(size_mb * MB)
    text = prose(size) if kind == "pattern" else personal_data(size)
    guard = Timed(PatternGuard() if kind == "pattern" else RedactionShield())
    coord = _coordinator(guard, kind, limit_ms)
    guard.finished.clear()
    call: Callable[[str], Any] = coord.process_input if kind == "pattern" else coord.process_output
    with Ticker() as ticker:
        start = time.perf_counter()
        call(text)
        returned = time.perf_counter()
        guard.finished.wait()
        ended = guard.ended_at
        time.sleep(2 * TICK_S)
    scan_s = ended - guard.started_at
    coord._executor.shutdown(wait=True)
    if kind == "pattern" and guard.result is not text:
        print(f"warning: the prose of {size_mb} MB was refused", file=sys.stderr)
    return {
        "guard": kind,
        "size_mb": size_mb,
        "return_ms": round((returned - start) * 1e3, 1),
        "stall_call_ms": round(ticker.worst_stall(start, returned) * 1e3, 1),
        "stall_ms": round(ticker.worst_stall(start, ended) * 1e3, 1),
        "scan_ms": round(scan_s * 1e3, 1),
        "mb_per_s": round(size / MB / scan_s, 2),
    }


def control(seconds: float = 2.0) -> dict[str, Any]:
    """The ticker's worst lateness beside a thread that only runs Python code,
    which hands the lock over every 5 ms: the floor that scheduling and the
    interpreter's switch interval set on this machine, now."""
    with Ticker() as ticker:
        start = time.perf_counter()
        end = start + seconds
        while time.perf_counter() < end:
            pass
    return {"guard": "control", "seconds": seconds, "stall_ms": round(ticker.worst_stall(start, end) * 1e3, 1)}


def longest_call(kind: str, size_mb: float) -> dict[str, Any]:
    """The longest single call into C code (a regex search, a join...) and the
    longest garbage collection during one scan, in the thread's CPU time, so
    that other load on the machine does not count. Each holds the lock for
    its whole length. The profile hook slows the scan, not the calls."""
    import gc

    size = int(size_mb * MB)
    text = prose(size) if kind == "pattern" else personal_data(size)
    guard = PatternGuard() if kind == "pattern" else RedactionShield()
    started: list[float] = []
    longest = [0.0, ""]
    collection = [0.0, 0.0]

    def profile(frame: Any, event: str, arg: Any) -> None:
        if event == "c_call":
            started.append(time.thread_time())
        elif event in ("c_return", "c_exception") and started:
            took = time.thread_time() - started.pop()
            if took > longest[0]:
                longest[:] = [took, getattr(arg, "__qualname__", repr(arg))]

    def collected(phase: str, info: dict[str, Any]) -> None:
        if phase == "start":
            collection[1] = time.thread_time()
        else:
            collection[0] = max(collection[0], time.thread_time() - collection[1])

    gc.callbacks.append(collected)
    sys.setprofile(profile)
    try:
        guard.scan(text)
    finally:
        sys.setprofile(None)
        gc.callbacks.remove(collected)
    return {"guard": kind, "size_mb": size_mb, "longest_call_ms": round(longest[0] * 1e3, 1),
            "longest_call": longest[1], "longest_collection_ms": round(collection[0] * 1e3, 1)}


def _screened_in_time(coord: GovernanceCoordinator, guard: Timed, text: str) -> bool:
    guard.finished.clear()
    coord.process_input(text)
    # The coordinator has the result only if the scan ended before the call returned.
    done = guard.finished.is_set()
    guard.finished.wait()
    return done


def threshold(limit_ms: int, corpus_path: str | None = None, trials: int = 7) -> dict[str, Any]:
    """The longest prompt screened within the limit in most of ``trials`` calls:
    generated prose, or the text of ``corpus_path`` repeated."""
    guard = Timed(PatternGuard())
    coord = _coordinator(guard, "pattern", limit_ms)
    if corpus_path is None:
        corpus = prose(4 * MB)
    else:
        with open(corpus_path, encoding="utf-8") as source:
            sample = source.read()
        corpus = (sample * (4 * MB // max(1, len(sample)) + 1))[:4 * MB]

    def ok(length: int) -> bool:
        wins = sum(_screened_in_time(coord, guard, corpus[:length]) for _ in range(trials))
        return wins > trials // 2

    low, high = 1_000, 1_000
    while ok(high):
        low, high = high, high * 2
        if high > len(corpus):
            return {"limit_ms": limit_ms, "threshold_chars": f">{len(corpus)}"}
    while high - low > max(1_000, low // 50):
        middle = (low + high) // 2
        if ok(middle):
            low = middle
        else:
            high = middle
    # Scan time of a single prompt of that length, outside the coordinator.
    plain = PatternGuard()
    times = []
    for _ in range(trials):
        t0 = time.perf_counter()
        plain.scan(corpus[:low])
        times.append(time.perf_counter() - t0)
    coord._executor.shutdown(wait=True)
    return {"limit_ms": limit_ms, "corpus": corpus_path or "prose", "threshold_chars": low,
            "scan_ms_at_threshold": round(statistics.median(times) * 1e3, 1)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[1, 10, 100], help="text sizes in MB")
    parser.add_argument("--guards", nargs="+", choices=["pattern", "redaction"], default=["pattern", "redaction"])
    parser.add_argument("--limit-ms", type=int, default=50)
    parser.add_argument("--threshold", action="store_true", help="find the longest prose prompt screened in time")
    parser.add_argument("--corpus", metavar="PATH", help="with --threshold: repeat this file's text instead of prose")
    parser.add_argument("--longest-call", action="store_true",
                        help="the longest call into C code and garbage collection of one scan, in CPU time")
    parser.add_argument("-o", "--output", help="write the figures to this JSON file")
    args = parser.parse_args()

    # Audit events are built as usual and dropped; the fallback handler stays quiet.
    logging.getLogger("norv").addHandler(logging.NullHandler())
    logging.getLogger("norv").propagate = False

    results: list[dict[str, Any]] = []
    if args.threshold:
        results.append(threshold(args.limit_ms, args.corpus))
        print(json.dumps(results[-1]))
    elif args.longest_call:
        for kind in args.guards:
            for size in args.sizes:
                results.append(longest_call(kind, size))
                print(json.dumps(results[-1]), flush=True)
    else:
        floor = control()
        results.append(floor)
        print(f"control: a 5 ms ticker beside a thread running Python code stalls up to {floor['stall_ms']} ms")
        print(f"{'guard':<10} {'MB':>6} {'return ms':>10} {'stall in call':>14} {'worst stall':>12} "
              f"{'scan ms':>10} {'MB/s':>7}")
        for kind in args.guards:
            for size in args.sizes:
                row = stall(kind, size, args.limit_ms)
                results.append(row)
                print(f"{kind:<10} {size:>6g} {row['return_ms']:>10} {row['stall_call_ms']:>14} "
                      f"{row['stall_ms']:>12} {row['scan_ms']:>10} {row['mb_per_s']:>7}", flush=True)
    if args.output:
        with open(args.output, "w") as out:
            json.dump({"python": sys.version.split()[0], "results": results}, out, indent=2)


if __name__ == "__main__":
    main()
