"""The contract between the governance coordinator and the security modules it runs."""

from __future__ import annotations

import abc
from typing import Any, Dict, Optional

__all__ = ["SecurityModule"]


class SecurityModule(abc.ABC):
    """A security module: a guard or shield that the coordinator runs over one text.

    ``scan`` receives the text and the caller's metadata (a dict or None, the very
    object the host passed; treat it as read-only) and returns the text that may
    pass: the text itself (or an equal one) when it finds nothing, otherwise a
    sanitised or redacted text, or for an input guard its ``refusal_message``.

    The coordinator calls ``scan`` on its worker threads, possibly several times
    at once on the same object (a scan that overran its time limit keeps running
    while the next one starts), so implementations must be thread-safe. An
    exception raised by ``scan`` never reaches the host: the coordinator records
    it in the audit log and lets the text through unchanged.
    """

    #: The text an input guard returns when it refuses a prompt. The input
    #: pipeline compares the guard's result with it to skip the neural step.
    refusal_message: Optional[str] = None

    @abc.abstractmethod
    def scan(self, content: str, metadata: Optional[Dict[str, Any]] = None) -> Optional[str]:
        """Return the text that may pass in place of ``content``."""
        raise NotImplementedError
