"""`norv screen`: run a file of prompts and responses through the guards, one result line a record.

A run, start to end, is :func:`run`: it checks where things will go, opens
the input, starts the screening processes (:mod:`norv.cli.jobs`), lets them
screen, and ends with the summary and the exit status (:mod:`norv.cli.outcome`).
The guards run in worker processes, one even for ``--jobs 1``: a guard that
ends its process (``os._exit``, a crash, a kill) then ends the run with
status 5 and what was screened kept, never a silent success.

The rest of the command lives by concern: :mod:`~norv.cli.settings` (what the
run was told), :mod:`~norv.cli.loading` (guards), :mod:`~norv.cli.screener`
(records to result lines), :mod:`~norv.cli.streams` (input and destinations),
:mod:`~norv.cli.signals` (interrupts), :mod:`~norv.cli.errors` (failures).
"""

from __future__ import annotations

import contextlib
from typing import Any, TextIO

from norv.cli.errors import Fatal
from norv.cli.jobs import Workers
from norv.cli.outcome import Outcome, RunState, finish
from norv.cli.settings import Settings
from norv.cli.streams import check_destinations, isatty, open_source, refuse_array

__all__ = ["run"]


def run(settings: Settings, stdin: Any, stdout: TextIO, stderr: TextIO) -> Outcome:
    """Screen every record ``settings`` names; raises :class:`Fatal` for unusable settings."""
    audit_default = settings.audit_log is None and not isatty(stderr) and not settings.quiet
    audit_to_err = settings.audit_log == "-" or audit_default
    check_destinations(settings, audit_to_stderr=audit_to_err)
    state = RunState()
    with contextlib.ExitStack() as stack:
        source, fmt, size = open_source(settings, stdin)
        if source is not stdin:
            stack.callback(_close_unless_read, source, state)
        if settings.summary_json is not None:
            try:
                # Unbuffered: a write that fails leaves nothing for closing to fail on again.
                state.summary_file = stack.enter_context(open(settings.summary_json, "wb", buffering=0))
            except OSError as exc:
                raise Fatal(f"cannot open summary file {settings.summary_json!r}: {exc.strerror or exc}") from None
        # Guards are loaded, checked and warmed in every worker before any input
        # is read: a guard that cannot screen stops the run with one line, and
        # the first record pays for no start-up.
        audit_wanted = settings.audit_log is not None or audit_to_err
        workers = stack.enter_context(Workers(settings, fmt, audit_wanted=audit_wanted, audit_to_err=audit_to_err))
        refuse_array(settings, source, fmt)
        abandoned = workers.run(source, fmt, size, stdout, stderr, audit_default, state)
        status = finish(settings, state, stderr, fmt)
    # Workers are killed when the run stopped early; the reader may be blocked on a pipe.
    reading = state.reader is not None and state.reader.is_alive()
    return Outcome(status, abandoned or state.write_failure is not None or reading)


def _close_unless_read(source: Any, state: RunState) -> None:
    # Closing a buffered reader frees its buffer under a thread still reading
    # it (CPython does not guard against that); a reader still blocked in a
    # read is left the file, which the process's end closes.
    if state.reader is None or not state.reader.is_alive():
        source.close()
