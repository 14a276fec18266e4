"""What the benchmarks run: texts, security modules, and the three contenders.

Every scenario is measured on three things built here:

* ``native``: ``norv.core.coordinator.GovernanceCoordinator``, the module under test;
* ``peer``: ``bench/peer.py``, the same class in plain Python (what users would
  otherwise run);
* a floor: what the interpreter or the standard pool costs on its own for the
  same job, so that a ratio says how much the coordinator adds.

The round-trip scenarios have a fourth contender, ``minimum``: only the steps
that any coordinator with this behaviour must take beyond the bare round trip
(read its modules, pool and limit afresh, submit through its ``_safe_scan``,
compare, write the audit event, test for a refusal), written inline in the
timing loop, where the interpreter's inline caches make attribute reads and
calls cheaper than any call through the C API can. Nothing is checked and no
error is caught. When even this exceeds a target, the target is below what the
interpreter allows for that scenario.

The suite, the time-out script, the memory script and the instruction counts
all build their objects here, so they measure the same things.
"""

from __future__ import annotations

import concurrent.futures
import os
import sys
import textwrap
import threading
import time

# The peer lives beside this file; make it importable however we were started.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peer

import norv.core.coordinator as native_module
from norv.core.interfaces import SecurityModule

#: A prompt of ordinary length and content; ASCII, as most prompts are.
PROMPT = "Summarise the attached quarterly report in three bullet points for the board."
#: What the refused call passes instead of a str.
NOT_STR = b"bytes"
#: The pool every coordinator and every floor uses: same size, same names.
POOL_SHAPE = {"max_workers": 4, "thread_name_prefix": "NORV_Worker"}
#: The coordinator's default limit, and so the floors' wait.
LIMIT_S = 0.05

CONTENDERS = ("native", "peer")

# Measured statements. `c` is a coordinator, `t` the prompt, `b` the non-str
# argument, `pool` a bare pool, `scan` a module's bound scan, `d`/`u` the
# builtin floor's operands (an empty dict, and a list, which it cannot hash).
REFUSED = "try:\n    c.process_input(b)\nexcept TypeError:\n    pass"
BUILTIN_CALL = "d.get(t)"
BUILTIN_REFUSED = "try:\n    d.get(u)\nexcept TypeError:\n    pass"
ROUND_TRIP = "pool.submit(scan, t, None).result(timeout=0.05)"

#: Statements well under a microsecond are written out this many times per
#: loop turn, so that the loop itself weighs little.
UNROLL = 10

_TIMER = """\
def timer(loops, {names}):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
{body}
    return perf_counter() - t0
"""


def make_timer(statement, names, unroll=1):
    """A time function: ``timer(loops, *values)`` runs ``statement``
    ``loops * unroll`` times, with ``names`` bound to ``values``, and returns
    the seconds taken. Contenders of one scenario differ only in ``statement``."""
    lines = statement.splitlines()
    body = "\n".join("        " + line for _ in range(unroll) for line in lines)
    namespace = {"perf_counter": time.perf_counter}
    exec(_TIMER.format(names=", ".join(names), body=body), namespace)
    return namespace["timer"]


class EchoModule(SecurityModule):
    """Finds nothing: returns its input, as a clean scan does."""

    def scan(self, content, metadata=None):
        return content


class RefusingGuard(SecurityModule):
    """A heuristic guard that refuses every prompt."""

    refusal_message = "I can't help with that request."

    def scan(self, content, metadata=None):
        return self.refusal_message


class SleepingModule(SecurityModule):
    """Overruns any sensible limit: sleeps for ``seconds``."""

    def __init__(self, seconds=1.0):
        self.seconds = seconds

    def scan(self, content, metadata=None):
        time.sleep(self.seconds)
        return content


def _noop_log_audit(*args):
    return None


class Bare:
    """What the ``minimum`` statements work on: a coordinator's state as plain
    attributes, and the one hop the pool must run (``_safe_scan``) with nothing
    in it but the scan."""

    def __init__(self, input_guard=None, neural_guard=None, output_shield=None):
        self.timeout_seconds = LIMIT_S
        self.audit_mode = False
        self.input_guard = input_guard
        self.neural_guard = neural_guard
        self.output_shield = output_shield
        self._executor = warm(floor_pool())

    def _safe_scan(self, module, content, metadata):
        return module.scan(content, metadata)


def _minimum_step(slot, content, result, detected="{result} != {content}"):
    """One pipeline step, the least it takes: read the module afresh, skip
    when there is none or the text is empty, submit through ``_safe_scan``
    under the limit read afresh, compare (``detected`` runs on the outcome)."""
    return (f"m = c.{slot}\n"
            f"if m and {content}:\n"
            f"    {result} = c._executor.submit(c._safe_scan, m, {content}, None).result(timeout=c.timeout_seconds)\n"
            + textwrap.indent(detected.format(result=result, content=content), "    "))


_REFUSAL_TEST = 'g = getattr(c.input_guard, "refusal_message", None)\n'

# The minimum for (b), (c) and (d), on a Bare ``c`` and prompt ``t``; (d) also
# takes ``la``, the no-op log_audit, and ``lg``, a stand-in logger. The size is
# len(t): exact for this ASCII prompt and cheaper than any exact UTF-8 count.
MINIMUM_ONE_ROUND_TRIP = _minimum_step("output_shield", "t", "r")
MINIMUM_TWO_ROUND_TRIPS = (
    _minimum_step("input_guard", "t", "r") + "\n" + _REFUSAL_TEST
    + "if not (g and r == g) and c.neural_guard:\n"
    + textwrap.indent(_minimum_step("neural_guard", "r", "r2"), "    "))
MINIMUM_DETECTION = _minimum_step("input_guard", "t", "r", detected="""\
if {result} != {content}:
    la(lg, "THREAT_DETECTED", {{"module": "InputHeuristic", "outcome": "AUDIT_ONLY" if c.audit_mode else "BLOCKED", "size_bytes": len(t)}})
    c.audit_mode""") + "\n" + _REFUSAL_TEST + "g and r == g"


def module_of(kind):
    return native_module if kind == "native" else peer


def coordinator(kind, **kwargs):
    """A new coordinator of ``kind`` ("native" or "peer")."""
    return module_of(kind).GovernanceCoordinator(**kwargs)


def silence_audit_log(kind):
    """Bind ``log_audit`` to a function that does nothing, in ``kind``'s module."""
    module_of(kind).log_audit = _noop_log_audit


def floor_pool():
    """A bare pool of the coordinators' shape, for the round-trip floors."""
    return concurrent.futures.ThreadPoolExecutor(**POOL_SHAPE)


def warm(pool, rounds=200):
    """Starts all of the pool's threads and lets them settle, so that no thread
    start falls inside a measurement (a pool starts its threads one at a time,
    only when no idle one is found)."""
    workers = POOL_SHAPE["max_workers"]
    together = threading.Barrier(workers)
    for future in [pool.submit(together.wait, 5) for _ in range(workers)]:
        future.result(timeout=10)
    scan = EchoModule().scan
    for _ in range(rounds):
        pool.submit(scan, PROMPT, None).result(timeout=5)
    return pool


# Coordinators set up for each scenario. ``kind`` is "native" or "peer".


def skip_path(kind):
    """(a) nothing registered."""
    return coordinator(kind)


def one_round_trip(kind):
    """(b) an output shield that finds nothing."""
    c = coordinator(kind)
    c.register_output_shield(EchoModule())
    warm(c._executor)
    return c


def two_round_trips(kind):
    """(c) a heuristic and a neural guard that both find nothing."""
    c = coordinator(kind)
    c.register_input_guard(EchoModule())
    c.register_neural_guard(EchoModule())
    warm(c._executor)
    return c


def detection(kind):
    """(d) the heuristic guard refuses; the audit event goes to a no-op."""
    silence_audit_log(kind)
    c = coordinator(kind)
    c.register_input_guard(RefusingGuard())
    c.register_neural_guard(EchoModule())  # never reached: the refusal stops the pipeline
    warm(c._executor)
    return c


def overrunning(kind):
    """(h) an output shield that sleeps one second under the default limit."""
    c = coordinator(kind)
    c.register_output_shield(SleepingModule(1.0))
    return c
