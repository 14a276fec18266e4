"""The words norv's library and commands share: audit events, the coordinator's
steps, verdicts, what "unscanned" means, the last-resort line and the
commands' exit statuses. Defined here once; the modules that use them import
them from here.
"""

from __future__ import annotations

from types import MappingProxyType

__all__ = [
    "ADMISSION_TIMEOUT",
    "AUDIT_LOGGER",
    "CRITICAL_PREFIX",
    "EXIT",
    "EXIT_MEANING",
    "INTERNAL_MODULE_ERROR",
    "LAST_RESORT",
    "STEPS",
    "STEP_OF_SLOT",
    "TEXT_TOO_LONG",
    "THREAT_DETECTED",
    "TIMEOUT",
    "UNSCANNED_EVENTS",
    "UNSCANNED_VERDICTS",
    "VERDICTS",
]

#: The logger the coordinator writes its audit events to.
AUDIT_LOGGER = "norv.coordinator"

# Audit events. The coordinator writes the first three; a gate writes
# ADMISSION_TIMEOUT and a pipeline TEXT_TOO_LONG.
THREAT_DETECTED = "THREAT_DETECTED"
TIMEOUT = "TIMEOUT"
INTERNAL_MODULE_ERROR = "INTERNAL_MODULE_ERROR"
ADMISSION_TIMEOUT = "ADMISSION_TIMEOUT"
TEXT_TOO_LONG = "TEXT_TOO_LONG"

#: How a line printed when even the audit log fails begins.
CRITICAL_PREFIX = "NORV CRITICAL FAILURE: "
#: The pseudo-event under which such a last-resort line is filed.
LAST_RESORT = "NORV_CRITICAL_FAILURE"

#: The coordinator's slots, in the order a text passes them, with the step
#: name its events give as ``module``.
STEPS = (("input_guard", "InputHeuristic"), ("neural_guard", "InputNeural"), ("output_shield", "Output"))
STEP_OF_SLOT = MappingProxyType(dict(STEPS))

#: Every verdict a call can get, in the order summaries list them.
VERDICTS = (
    "passed", "sanitised", "refused", "redacted",
    "timed_out", "over_capacity", "module_error", "last_resort", "too_long",
)
#: Verdicts of a text that some step did not scan. All but ``too_long`` passed
#: the text on; a ``too_long`` prompt may instead have been stopped with the
#: guard's message.
UNSCANNED_VERDICTS = frozenset({"timed_out", "over_capacity", "module_error", "last_resort", "too_long"})
#: Audit events that mean a step passed its text unscanned, with the verdict each gives.
UNSCANNED_EVENTS = MappingProxyType({
    TIMEOUT: "timed_out",
    ADMISSION_TIMEOUT: "over_capacity",
    INTERNAL_MODULE_ERROR: "module_error",
})

#: The commands' exit statuses (``norv screen``, ``norv eval``; docs/command.md's table).
EXIT = MappingProxyType({
    "ok": 0,
    "detection": 1,  # a detection gate failed
    "usage": 2,  # the run could not start
    "unscreened": 3,  # something not cleanly screened failed a gate, or every record was an error
    "write": 4,  # results, audit events or a report could not be written
    "guard": 5,  # a guard (or a worker process) stopped the run
    "sigint": 130,
    "sigterm": 143,
})
#: What each status means for ``norv screen`` (its ``--help`` epilogue is made from this).
EXIT_MEANING = MappingProxyType({
    "ok": "finished, gate passed",
    "detection": "the gate failed on detections",
    "usage": "could not start",
    "unscreened": "the gate failed on something not cleanly screened, or every record was an error",
    "write": "results, audit events or the summary could not be written",
    "guard": "a guard stopped the run, a screening process ended (os._exit, crash, kill) or reading the input failed",
    "sigint": "interrupted (SIGINT)",
    "sigterm": "terminated (SIGTERM)",
})
