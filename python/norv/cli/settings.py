"""What a run of `norv screen` (and the guards of `norv eval`) is told to do, typed and fixed once.

The argument parser's namespace is read here, and only here: the rest of the
command takes these frozen objects, so a setting cannot change during a run
and a misspelt one is an error of the type checker, not a run-time surprise.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass

__all__ = [
    "DEFAULT_INPUT_GUARD",
    "DEFAULT_NEURAL_GUARD",
    "DEFAULT_OUTPUT_SHIELD",
    "GUARD_OPTIONS",
    "GuardSettings",
    "Settings",
]

DEFAULT_INPUT_GUARD = "norv.guards:PatternGuard"
DEFAULT_NEURAL_GUARD = "none"
DEFAULT_OUTPUT_SHIELD = "norv.guards:RedactionShield"

#: (option, slot) of the three guards, in the order a text passes them.
GUARD_OPTIONS = (("--input-guard", "input_guard"), ("--neural-guard", "neural_guard"),
                 ("--output-shield", "output_shield"))


@dataclass(frozen=True)
class GuardSettings:
    """The guards and the coordinator's settings: what every screening process builds its pipeline from."""

    input_guard: str = DEFAULT_INPUT_GUARD
    neural_guard: str = DEFAULT_NEURAL_GUARD
    output_shield: str = DEFAULT_OUTPUT_SHIELD
    timeout_ms: int = 50
    audit_mode: bool = False
    max_chars: int | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace, *, audit_mode: bool | None = None) -> GuardSettings:
        return cls(input_guard=args.input_guard, neural_guard=args.neural_guard, output_shield=args.output_shield,
                   timeout_ms=args.timeout_ms,
                   audit_mode=bool(args.audit_mode) if audit_mode is None else audit_mode,
                   max_chars=getattr(args, "max_chars", None))

    def ref(self, slot: str) -> str:
        """The REF given for ``slot`` (``input_guard``, ``neural_guard`` or ``output_shield``)."""
        ref: str = getattr(self, slot)
        return ref

    def named(self, slot: str) -> str:
        """``slot``'s option and REF, as messages name a guard."""
        option = next(option for option, attr in GUARD_OPTIONS if attr == slot)
        return f"{option} {self.ref(slot)}"


@dataclass(frozen=True)
class Settings:
    """One `norv screen` run's settings, built once from its arguments."""

    input: str
    output: str | None
    format: str
    audit_log: str | None
    summary_json: str | None
    fail_on: tuple[str, ...]
    keep_keys: frozenset[str]
    jobs: int
    max_line_bytes: int
    progress: bool
    quiet: bool
    guards: GuardSettings

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Settings:
        return cls(input=args.input, output=args.output, format=args.format, audit_log=args.audit_log,
                   summary_json=args.summary_json, fail_on=tuple(args.fail_on),
                   keep_keys=frozenset(args.keep_keys or ()), jobs=args.jobs, max_line_bytes=args.max_line_bytes,
                   progress=not args.no_progress, quiet=args.quiet, guards=GuardSettings.from_args(args))

    @property
    def input_name(self) -> str:
        """The input as messages name it."""
        return "standard input" if self.input == "-" else self.input

    def describe(self) -> str:
        """The settings line of the summary."""
        guards = self.guards
        jobs = f", {self.jobs} processes" if self.jobs > 1 else ""
        cap = f", max {guards.max_chars} chars" if guards.max_chars is not None else ""
        return (f"timeout {guards.timeout_ms} ms, audit mode {'on' if guards.audit_mode else 'off'}{cap}{jobs}; "
                f"input guard {guards.input_guard}, neural guard {guards.neural_guard}, "
                f"output shield {guards.output_shield}")
