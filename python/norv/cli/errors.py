"""How `norv screen` and `norv eval` stop: the failures a run acts on, each with its exit status."""

from __future__ import annotations

__all__ = ["Fatal", "GuardAbort", "WriteFailed"]


class Fatal(Exception):
    """Ends the run at once with exit status 2 and this one-line message."""


class WriteFailed(Exception):
    """A destination of the run cannot be written to any more."""

    def __init__(self, what: str, exc: BaseException) -> None:
        reason = getattr(exc, "strerror", None) or str(exc) or type(exc).__name__
        super().__init__(f"cannot write {what}: {reason}")


class GuardAbort(Exception):
    """A guard raised something the coordinator hands on (SystemExit, KeyboardInterrupt, GeneratorExit)."""


def exception_args(exc: BaseException) -> str:
    """``exc``'s arguments as its call would show them: ``(2,)`` reads ``(2)``."""
    return f"({', '.join(map(repr, exc.args))})"
