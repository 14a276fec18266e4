"""Reference security modules for the governance coordinator.

``PatternGuard`` (input slot) and ``RedactionShield`` (output slot) are plain
Python examples of the :class:`norv.core.interfaces.SecurityModule` contract.
They are useful as they are for screening and demos, and a deployment is
expected to replace them with, or extend them into, modules tuned to its own
traffic. There is deliberately no keyword stand-in for the neural slot: a
keyword list dressed up as a semantic model would give a false sense of cover.
``SemanticGuard`` is a real model for it (an optional extra, see
:mod:`norv.guards.semantic`); it is imported on first use, so that importing
this package stays cheap and works without the extra. ``Chain`` puts several
guards in one slot.
"""

from typing import Any

from norv.guards.chain import Chain
from norv.guards.pattern import PatternGuard
from norv.guards.redaction import RedactionShield

__all__ = ["Chain", "PatternGuard", "RedactionShield", "SemanticGuard"]


def __getattr__(name: str) -> Any:
    if name == "SemanticGuard":
        from norv.guards.semantic import SemanticGuard

        return SemanticGuard
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
