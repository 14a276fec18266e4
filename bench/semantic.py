"""Cost of SemanticGuard: load time, memory, scan latency on one core, and the interpreter lock.

    python -m norv.guards.semantic fetch        # the model, once
    python bench/semantic.py [--quick] [--json PATH]

Measures, each in a fresh interpreter where it matters:

* load: importing the runtime and building the first guard (model file to a
  ready session), the median of several fresh processes;
* memory: resident set size of a process with the model loaded and a few
  hundred prompts scanned, and the same process before the guard was built;
* latency: ``scan`` with the process pinned to one core, on prompts of
  fixed lengths made of harmless sentences, on lengths drawn evenly from 1
  to 2,000, on real documentation (the standard library's own ``pydoc``
  text, framed as an application frames it: "Summarise this", a retrieval
  context and a question) from 2,000 to 16,000 characters, with the cost
  per 1,000 characters, and on the held-out prompts of the evaluation when
  the data has been fetched (``fetch --data``); beside them the model's own
  floor (a 2,000-character text embedded whole, in one call, with no
  chunks) and the worst case of the first stage (a long prompt every chunk
  of which is sent to the encoder);
* the lexical term (the second cheap stage) per chunk of documentation,
  unseen and seen again;
* screening: ``norv.screening.screen_input`` through a coordinator on the
  2,000 and 16,000-character documentation, the scan and the verdict's
  too-long check together, as ``norv screen`` and applications call it;
* interpreter lock: the rate of a pure-Python counting loop alone, then
  while another thread scans prompts back to back; the ratio is the share
  of its speed the busy thread keeps (about 1.0 when inference releases the
  lock and a second core is free).

Targets: load <= 1 s; RSS <= 350 MB; 2,000 characters of real
documentation p50 <= 5 ms and p99 <= 15 ms; 16,000 characters p99 within
the coordinator's default 50 ms; the busy thread keeps >= 80% of its speed.
The machine is shared: the load average is printed with the results.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parents[1]

SENTENCES = [
    "Could you summarise the attached report for the board meeting on Thursday?",
    "The figures for the third quarter are in the second table.",
    "Please keep the tone neutral and avoid jargon.",
    "Our readers are mostly small business owners in the north of England.",
    "Mention the new delivery times and the change of supplier.",
    "Write it as a short newsletter article with a friendly headline.",
    "Finish with a sentence that invites questions by email.",
]

LOAD_CODE = """
import time, json
t0 = time.perf_counter()
import numpy, onnxruntime
t1 = time.perf_counter()
from norv.guards.semantic import SemanticGuard
guard = SemanticGuard()
t2 = time.perf_counter()
guard.scan("warm-up prompt")
print(json.dumps({"import": t1 - t0, "load": t2 - t1}))
"""

RSS_CODE = """
import json, sys
def rss():
    with open("/proc/self/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024
import norv, norv.guards
before = rss()[0]
from norv.guards.semantic import SemanticGuard
guard = SemanticGuard()
for text in json.loads(sys.stdin.read()):
    guard.scan(text)
now, peak = rss()
print(json.dumps({"before": before, "loaded": now, "peak": peak}))
"""


def prompt_of_length(length: int) -> str:
    out: list[str] = []
    i = 0
    while sum(len(s) + 1 for s in out) < length:
        out.append(SENTENCES[i % len(SENTENCES)])
        i += 1
    return " ".join(out)[:length]


#: Standard-library modules whose documentation the latency runs read:
#: real technical prose, code and signatures, the same on every machine
#: with this Python.
DOC_MODULES = ("argparse", "asyncio.tasks", "csv", "email.message", "json", "logging", "pathlib", "shutil",
               "socket", "sqlite3", "subprocess", "tarfile", "threading", "unittest.mock", "urllib.request",
               "zipfile")
FRAMES = (
    "Summarise this for a newcomer:\n\n{}",
    "Answer the question using only the context below.\n\nContext:\n{}\n\nQuestion: which function should I use?",
    "Fix the grammar in this text and keep the tone neutral:\n\n{}",
    "Explain what this documentation says, step by step.\n\n{}",
)


def documentation_prompts(length: int, count: int, seed: int = 7) -> list[str]:
    """``count`` prompts of about ``length`` characters: documentation text in an application's frame."""
    import importlib
    import pydoc

    texts = [pydoc.render_doc(importlib.import_module(name), renderer=pydoc.plaintext) for name in DOC_MODULES]
    rng = random.Random(seed)
    out = []
    for i in range(count):
        frame = FRAMES[i % len(FRAMES)]
        text = rng.choice([t for t in texts if len(t) > length] or texts)
        start = rng.randrange(0, max(1, len(text) - length))
        out.append(frame.format(text[start:start + length - len(frame) + 2]))
    return out


def worst_case_prompt(guard: Any, length: int) -> str:
    """Harmless documentation chunks, each once (a repeated chunk is scored
    once), up to ``length``: first those that both cheap stages send to the
    encoder, then those that only the first does (the second stage's work)."""
    from norv.guards import semantic

    gate, lexical = semantic.shipped_gate(), semantic.shipped_lexical()
    cut = -float("inf") if gate.lexical_cut is None else gate.lexical_cut
    encoded: dict[str, None] = {}
    counted: dict[str, None] = {}
    for text in documentation_prompts(4000, 400):
        for piece in semantic.chunks(semantic.prepare(text)):
            if gate.passes(piece) and guard.score(piece) < guard.threshold / 2:
                (encoded if float(lexical.logits([piece])[0]) >= cut else counted)[piece] = None
    return " ".join([*encoded, *counted])[:length]


def child(code: str, stdin: str = "") -> dict[str, Any]:
    proc = subprocess.run([sys.executable, "-c", code], input=stdin, capture_output=True, text=True,
                          timeout=300, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def percentiles(samples: list[float]) -> dict[str, float]:
    ordered = sorted(samples)
    return {
        "n": len(ordered),
        "p50_ms": ordered[len(ordered) // 2] * 1e3,
        "p99_ms": ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3,
        "max_ms": ordered[-1] * 1e3,
    }


def time_scans(guard: Any, prompts: list[str], repeat: int) -> list[float]:
    samples = []
    for _ in range(repeat):
        for prompt in prompts:
            started = time.perf_counter()
            guard.scan(prompt)
            samples.append(time.perf_counter() - started)
    return samples


def lexical_cost() -> dict[str, float]:
    """Microseconds a chunk of the head's lexical term (the second cheap stage):
    over chunks of documentation the process has not seen (after two other
    modules', as a running service has seen other text), then over the same again."""
    import pydoc

    from norv.guards import semantic

    def chunked(*modules: str) -> list[str]:
        text = " ".join(pydoc.render_doc(m, renderer=pydoc.plaintext) for m in modules)
        return semantic.chunks(semantic.prepare(text))

    lexical = semantic.shipped_lexical()
    lexical.logits(chunked("argparse", "logging"))
    unseen = chunked("tarfile", "email.message", "subprocess")
    started = time.perf_counter()
    lexical.logits(unseen)
    first = time.perf_counter() - started
    again = []
    for _ in range(5):
        started = time.perf_counter()
        lexical.logits(unseen)
        again.append(time.perf_counter() - started)
    return {"chunks": len(unseen), "unseen_us": first / len(unseen) * 1e6,
            "again_us": min(again) / len(unseen) * 1e6}


class _Screened:
    """``norv.screening.screen_input`` through a coordinator with the guard in
    its neural slot: the scan and the too-long check a verdict needs."""

    def __init__(self, guard: Any) -> None:
        from norv.core.coordinator import GovernanceCoordinator
        from norv.screening import screen_input

        # A limit no scan here reaches: the figure is the work, not a time-out.
        self.coordinator = GovernanceCoordinator(10_000, False)
        self.coordinator.register_neural_guard(guard)
        self._screen = screen_input

    def scan(self, text: str) -> str:
        return self._screen(self.coordinator, text).verdict


class _Whole:
    """The model alone: the text embedded in one call and scored, no chunks."""

    def __init__(self, guard: Any) -> None:
        self.guard = guard

    def scan(self, text: str) -> float:
        return float(self.guard.embed([text])[0] @ self.guard._weights)


def heldout_prompts() -> list[str]:
    sys.path.insert(0, str(REPO / "tools" / "semantic"))
    try:
        import corpus

        examples = corpus.read_yanismiraoui() + corpus.read_benign("eval") + corpus.read_slabs("test")
    except (FileNotFoundError, ImportError):
        return []
    return [e.text for e in examples if len(e.text) <= 2000]


def busy_rate(seconds: float) -> float:
    count = 0
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        for _ in range(1000):
            count += 1
    return count / seconds


def _rate_beside(work: Any, seconds: float) -> tuple[float, int]:
    """The busy loop's rate while ``work`` runs back to back on another thread."""
    stop = threading.Event()
    runs = [0]

    def loop() -> None:
        while not stop.is_set():
            work()
            runs[0] += 1

    worker = threading.Thread(target=loop)
    worker.start()
    try:
        time.sleep(0.2)
        return busy_rate(seconds), runs[0]
    finally:
        stop.set()
        worker.join()


def lock_share(guard: Any, seconds: float) -> dict[str, float]:
    """Share of its speed a busy thread keeps beside scans, and beside a
    control: hashing a large buffer, which also takes a core but releases the
    lock. On a loaded machine both lose to CPU contention; the lock costs
    only what the scans lose beyond the control."""
    import hashlib

    prompt = prompt_of_length(2000)
    block = bytes(8 << 20)
    alone = busy_rate(seconds)
    beside_scans, scans = _rate_beside(lambda: guard.scan(prompt), seconds)
    beside_control, _ = _rate_beside(lambda: hashlib.sha256(block).digest(), seconds)
    alone_again = busy_rate(seconds)
    base = (alone + alone_again) / 2
    return {"alone_per_s": base, "kept": beside_scans / base, "kept_control": beside_control / base,
            "scans_meanwhile": scans}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    parser.add_argument("--json", type=Path, help="write the results here as JSON")
    args = parser.parse_args()
    repeat = 3 if args.quick else 20

    results: dict[str, Any] = {"loadavg": os.getloadavg()}
    loads = [child(LOAD_CODE) for _ in range(3 if args.quick else 5)]
    results["load_s"] = {key: statistics.median(run[key] for run in loads) for key in ("import", "load")}

    from norv.guards.semantic import SemanticGuard

    guard = SemanticGuard()
    heldout = heldout_prompts()
    results["rss_mb"] = child(RSS_CODE, json.dumps(heldout[:300] or [prompt_of_length(500)] * 50))

    # One core: the scan itself runs on one thread (intra_op_num_threads=1);
    # pinning keeps the interpreter on the same core too.
    affinity = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(affinity)})
    try:
        for text in [prompt_of_length(2000)] * 5:
            guard.scan(text)
        by_length = {}
        for length in (50, 200, 500, 1000, 2000):
            by_length[f"{length} chars"] = percentiles(time_scans(guard, [prompt_of_length(length)], repeat * 10))
        rng = random.Random(1)
        lengths = [rng.randint(1, 2000) for _ in range(repeat * 20)]
        spread = [prompt_of_length(n) for n in lengths]
        by_length["1 to 2,000 chars, evenly"] = percentiles(time_scans(guard, spread, 1))
        whole = [prompt_of_length(2000)]
        by_length["2000 chars whole, one call (the model's floor)"] = percentiles(
            time_scans(_Whole(guard), whole, repeat * 10))
        results["latency_by_length"] = by_length
        documents = {}
        for length in (500, 2000, 4000, 8000, 16000):
            prompts = documentation_prompts(length, 8 if args.quick else 40)
            for text in prompts[:3]:
                guard.scan(text)
            timing = percentiles(time_scans(guard, prompts, 3 if args.quick else 5))
            timing["ms_per_1000_chars"] = timing["p50_ms"] * 1000 / length
            timing["refused_or_too_long"] = sum(guard.scan(t) is not t for t in prompts) / len(prompts)
            documents[f"{length} chars"] = timing
            if length in (2000, 16000):
                screened = percentiles(time_scans(_Screened(guard), prompts, 3 if args.quick else 5))
                screened["ms_per_1000_chars"] = screened["p50_ms"] * 1000 / length
                screened["refused_or_too_long"] = timing["refused_or_too_long"]
                documents[f"{length} chars, screen_input (scan and verdict)"] = screened
        # The first stage's worst case: every chunk goes to the encoder, up to
        # the budget, and none is refused (a hostile prompt built for cost).
        worst = worst_case_prompt(guard, 16000)
        if worst:
            timing = percentiles(time_scans(guard, [worst], repeat * 5))
            timing["ms_per_1000_chars"] = timing["p50_ms"] * 1000 / len(worst)
            timing["refused_or_too_long"] = float(guard.scan(worst) is not worst)
            documents["16000 chars, every chunk suspicious (worst case)"] = timing
        results["latency_documents"] = documents
        results["lexical"] = lexical_cost()
        if heldout:
            results["latency_heldout"] = percentiles(time_scans(guard, heldout, 1 if args.quick else 3))
    finally:
        os.sched_setaffinity(0, affinity)

    results["lock"] = lock_share(guard, 1.0 if args.quick else 3.0)
    results["loadavg_after"] = os.getloadavg()

    print(f"load average {results['loadavg'][0]:.2f} before, {results['loadavg_after'][0]:.2f} after")
    load = results["load_s"]
    print(f"load: {load['import'] + load['load']:.3f} s (import {load['import']:.3f} s,"
          f" session {load['load']:.3f} s; median of {len(loads)})")
    rss = results["rss_mb"]
    print(f"RSS: {rss['before']:.0f} MB before the guard, {rss['loaded']:.0f} MB loaded, peak {rss['peak']:.0f} MB")
    print("| prompt | scans | p50 (ms) | p99 (ms) | max (ms) |")
    print("|---|---:|---:|---:|---:|")
    for length, p in results["latency_by_length"].items():
        print(f"| {length} | {p['n']} | {p['p50_ms']:.2f} | {p['p99_ms']:.2f} | {p['max_ms']:.2f} |")
    print()
    print("| documentation in a frame | scans | p50 (ms) | p99 (ms) | max (ms) | p50 per 1,000 chars (ms) "
          "| not passed |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for length, p in results["latency_documents"].items():
        print(f"| {length} | {p['n']} | {p['p50_ms']:.2f} | {p['p99_ms']:.2f} | {p['max_ms']:.2f} "
              f"| {p['ms_per_1000_chars']:.2f} | {p['refused_or_too_long']:.0%} |")
    if heldout:
        p = results["latency_heldout"]
        print(f"| held-out prompts (<= 2,000 chars) | {p['n']} | {p['p50_ms']:.2f} | {p['p99_ms']:.2f} "
              f"| {p['max_ms']:.2f} |")
    lex = results["lexical"]
    print(f"lexical term: {lex['unseen_us']:.1f} us a chunk of unseen documentation, {lex['again_us']:.1f} us "
          f"the same chunks again ({lex['chunks']} chunks)")
    lock = results["lock"]
    print(f"busy thread keeps {lock['kept']:.0%} of its speed while another thread scans "
          f"({lock['scans_meanwhile']} scans of 2,000 characters meanwhile), "
          f"{lock['kept_control']:.0%} beside a lock-free control of the same kind")
    if args.json:
        args.json.write_text(json.dumps(results, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
