"""Guards that a `norv serve` started by the tests loads by REF (serve_guards:Name).

RecordingGuard appends the length of every text it scans to the file named by
NORV_TEST_SCAN_LOG, so a test can tell whether a text ever reached a worker,
and sleeps NORV_TEST_SLOW_SECONDS on texts holding SLOW_MARKER, so a test can
make a scan overrun its limit on demand; a text holding EXIT_MARKER makes it
raise SystemExit, which the coordinator hands on to its caller.
"""

from __future__ import annotations

import os
import time
from typing import Any

from norv.guards import PatternGuard

SLOW_MARKER = "[[slow]]"
EXIT_MARKER = "[[exit]]"


class RecordingGuard(PatternGuard):
    def scan(self, content: str, metadata: dict[str, Any] | None = None) -> str:
        path = os.environ.get("NORV_TEST_SCAN_LOG")
        if path:
            with open(path, "a", encoding="utf-8") as log:
                log.write(f"{len(content)}\n")
        if SLOW_MARKER in content:
            time.sleep(float(os.environ.get("NORV_TEST_SLOW_SECONDS", "0")))
        if EXIT_MARKER in content:
            raise SystemExit(3)
        return super().scan(content, metadata)


class NoMetadataGuard:
    """Its scan cannot take the metadata the coordinator passes."""

    def scan(self, content: str) -> str:
        return content
