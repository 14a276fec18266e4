"""Reference security modules for the governance coordinator.

``PatternGuard`` (input slot) and ``RedactionShield`` (output slot) are plain
Python examples of the :class:`norv.core.interfaces.SecurityModule` contract.
They are useful as they are for screening and demos, and a deployment is
expected to replace them with, or extend them into, modules tuned to its own
traffic. There is deliberately no stand-in for the neural slot: a keyword list
dressed up as a semantic model would give a false sense of cover. Register a
real model there, or leave the slot empty.
"""

from norv.guards.pattern import PatternGuard
from norv.guards.redaction import RedactionShield

__all__ = ["PatternGuard", "RedactionShield"]
