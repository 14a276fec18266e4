"""Judge the report files that a sanitizer run left (ASAN_OPTIONS=log_path=...).

    python tools/hardening/sanitizer_reports.py REPORT_DIR

Every AddressSanitizer or UndefinedBehaviorSanitizer error fails the run,
whichever process wrote it. A LeakSanitizer report fails the run when any of
its allocation stacks passes through Python: the interpreter (the `python3.11`
executable or libpython), one of its extension modules, or ours. With
LD_PRELOAD every program started under the run gets the runtime, so a
report whose stacks lie wholly in a foreign program (a git or shell that
something spawned) is listed and left aside: it is not code this project
ships or the interpreter runs. Exit status 0 only when nothing failed.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Frames look like "#3 0x7f.. in func file.c:12" or "#1 0x55.. (/usr/bin/git+0x2898c5)".
FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+\s+(?P<rest>.*)$")
MODULE = re.compile(r"\((/[^+)]+)\+0x[0-9a-f]+\)")
PYTHON_CODE = re.compile(r"python3\.11|libpython|coordinator\.cpython|\bPy[A-Z_]|_Py|Objects/|Python/|Modules/")


def frames(text: str):
    for line in text.splitlines():
        match = FRAME.match(line)
        if match:
            yield match["rest"]


def judge(path: Path) -> tuple[bool, str]:
    text = path.read_text(errors="replace")
    if "LeakSanitizer" in text and "ERROR: AddressSanitizer" not in text and "runtime error" not in text:
        if any(PYTHON_CODE.search(frame) for frame in frames(text)):
            return True, "leak in Python code"
        modules = sorted({m for frame in frames(text) for m in MODULE.findall(frame)})
        return False, "leak wholly inside a foreign program: " + (", ".join(modules) or "unknown")
    return True, "sanitizer error"


def main(argv: list[str]) -> int:
    directory = Path(argv[1])
    failed = 0
    for path in sorted(directory.glob("*")):
        fatal, why = judge(path)
        if fatal:
            failed += 1
            print(f"==== {path.name}: {why}\n{path.read_text(errors='replace')}")
        else:
            print(f"sanitizer_reports: {path.name} left aside ({why})")
    if failed:
        print(f"sanitizer_reports: {failed} report(s) in {directory}")
        return 1
    print(f"sanitizer_reports: no reports in {directory}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
