"""The shapes norv's Python side asks of the objects it is handed.

:class:`Coordinator` is ``norv.core.coordinator.GovernanceCoordinator`` as
``norv.screening``, ``norv.capacity``, ``norv.aio``, ``norv.pool``,
``norv.metrics`` and pipelines use it; a stand-in with these members works
with them too. :class:`Listener` is what ``norv.screening.add_listener``
takes.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from norv.pool import Pool
    from norv.screening import CallResult


class Coordinator(Protocol):
    timeout_seconds: float
    audit_mode: bool
    input_guard: Any
    neural_guard: Any
    output_shield: Any
    #: Its worker pool, or a gate in front of it: reached through norv.pool.
    _executor: Pool

    def process_input(self, content: str, metadata: dict[str, Any] | None = None) -> str | None: ...

    def process_output(self, content: str, metadata: dict[str, Any] | None = None) -> str | None: ...


class Listener(Protocol):
    """Told of every screening call: when it starts, and what it gave (None when it raised)."""

    def started(self, call: str) -> None: ...

    def finished(self, call: str, result: CallResult | None) -> None: ...


if TYPE_CHECKING:
    from norv.core.coordinator import GovernanceCoordinator

    def _conforms(coordinator: GovernanceCoordinator) -> Coordinator:
        # mypy checks here that the native type has the shape asked of it.
        return coordinator
