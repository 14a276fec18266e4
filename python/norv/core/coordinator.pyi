"""
norv.core.coordinator
~~~~~~~~~~~~~~~~~~~~~

The Central Nervous System of NORV.
Manages the orchestration of security modules, enforces timeouts,
and guarantees Fail-Safe execution (Zero-Crash Policy).
"""

import logging
from typing import Any, Dict, Optional

from norv.core.interfaces import SecurityModule
from norv.pool import Pool

logger: logging.Logger

class GovernanceCoordinator:
    timeout_seconds: float
    audit_mode: bool
    input_guard: Optional[SecurityModule]
    output_shield: Optional[SecurityModule]
    neural_guard: Optional[SecurityModule]
    # A ThreadPoolExecutor, or a gate in front of one (norv.capacity).
    _executor: Pool

    def __init__(self, timeout_ms: int = 50, audit_mode: bool = False) -> None: ...
    def register_input_guard(self, guard: SecurityModule) -> None: ...
    def register_output_shield(self, shield: SecurityModule) -> None: ...
    def register_neural_guard(self, guard: SecurityModule) -> None: ...
    def process_input(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> Optional[str]: ...
    def process_output(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> Optional[str]: ...
    def _run_fail_safe(
        self,
        module: Optional[SecurityModule],
        content: str,
        metadata: Optional[Dict[str, Any]],
        context: str,
    ) -> Optional[str]: ...
    def _safe_scan(self, module: SecurityModule, content: Any, metadata: Optional[Dict[str, Any]]) -> Any: ...
