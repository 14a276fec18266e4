"""Several guards in one slot of the coordinator."""

from __future__ import annotations

from typing import Any

from norv.core.interfaces import SecurityModule
from norv.guards import _refusal

__all__ = ["Chain"]


class Chain(SecurityModule):
    """Runs ``guards`` in order on one text, in one slot.

    Each guard scans what the one before returned, so a sanitised text flows
    on; the first refusal ends the chain. A guard refuses when it returns None
    or its own ``refusal_message``, and the chain then returns its own
    ``refusal_message`` (by default the first of its guards' messages), the
    one the coordinator compares with. The guards share the slot's time limit:
    the coordinator times the chain as one scan, so a chain of slow guards
    times out as a whole. Nothing found by any guard: the very object given
    comes back.
    """

    def __init__(self, *guards: Any, refusal_message: str | None = None) -> None:
        if not guards:
            raise ValueError("Chain needs at least one guard")
        for guard in guards:
            if not callable(getattr(guard, "scan", None)):
                raise TypeError(f"{type(guard).__qualname__} is not a guard: it has no callable scan")
        if refusal_message is None:
            refusal_message = next((message for guard in guards
                                    if type(message := getattr(guard, "refusal_message", None)) is str and message),
                                   None)
        else:
            _refusal.checked(refusal_message)
        self.guards = guards
        self.refusal_message = refusal_message

    def warm(self) -> None:
        for guard in self.guards:
            warm = getattr(guard, "warm", None)
            if callable(warm):
                warm()

    def findings(self, content: str) -> list[dict[str, Any]]:
        """The findings of the guards that can say, each with its ``guard``, as
        the chain would meet them (each guard judges what the one before passed on)."""
        found: list[dict[str, Any]] = []
        text: str | None = content
        for guard in self.guards:
            if text is None:
                break
            explain = getattr(guard, "findings", None)
            if callable(explain):
                found.extend({"guard": type(guard).__qualname__, **item} for item in explain(text))
            result = guard.scan(text, None)
            message = getattr(guard, "refusal_message", None)
            if result is None or (message is not None and result == message):
                break
            text = result
        return found

    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str | None:
        text: str | None = content
        for guard in self.guards:
            result = guard.scan(text, metadata)
            message = getattr(guard, "refusal_message", None)
            if result is None or (message is not None and result == message):
                return self.refusal_message if self.refusal_message is not None else result
            text = result
        return text

    def __repr__(self) -> str:
        return f"Chain({', '.join(map(repr, self.guards))})"
