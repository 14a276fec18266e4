"""Judge the report files that a sanitizer run left (ASAN_OPTIONS=log_path=...).

    python tools/hardening/sanitizer_reports.py REPORT_DIR
    python tools/hardening/sanitizer_reports.py REPORT_DIR -- COMMAND [ARG ...]

Every AddressSanitizer or UndefinedBehaviorSanitizer error fails the run,
whichever process wrote it. A LeakSanitizer report fails the run when any of
its allocation stacks passes through Python: the interpreter (the `python3.11`
executable or libpython), one of its extension modules, or ours. With
LD_PRELOAD every program started under the run gets the runtime, so a
report whose stacks lie wholly in a foreign program (a git or shell that
something spawned) is listed and left aside: it is not code this project
ships or the interpreter runs.

LeakSanitizer checks at exit by stopping every thread of the process, and
now and then its tracer crashes doing so ("LeakSanitizer has encountered a
fatal error"). That process then exits with the sanitizer's status although
it found nothing, and nothing was checked either. With a COMMAND, the
directory is judged after COMMAND ends, and when such a crash is all that
went wrong, COMMAND runs once more and the second run decides. Exit status 0
only when the command succeeded and nothing failed or went unchecked.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

# Frames look like "#3 0x7f.. in func file.c:12" or "#1 0x55.. (/usr/bin/git+0x2898c5)".
FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+\s+(?P<rest>.*)$")
MODULE = re.compile(r"\((/[^+)]+)\+0x[0-9a-f]+\)")
PYTHON_CODE = re.compile(r"python3\.11|libpython|coordinator\.cpython|\bPy[A-Z_]|_Py|Objects/|Python/|Modules/")
LEAK_CHECK_CRASHED = "LeakSanitizer has encountered a fatal error"

FAILED, UNCHECKED, LEFT_ASIDE = "failed", "unchecked", "left aside"


def frames(text: str):
    for line in text.splitlines():
        match = FRAME.match(line)
        if match:
            yield match["rest"]


def judge(path: Path) -> tuple[str, str]:
    text = path.read_text(errors="replace")
    if "ERROR: AddressSanitizer" in text or "runtime error" in text or "LeakSanitizer" not in text:
        return FAILED, "sanitizer error"
    if LEAK_CHECK_CRASHED in text:
        return UNCHECKED, "the leak check crashed before it could report"
    if any(PYTHON_CODE.search(frame) for frame in frames(text)):
        return FAILED, "leak in Python code"
    modules = sorted({m for frame in frames(text) for m in MODULE.findall(frame)})
    return LEFT_ASIDE, "leak wholly inside a foreign program: " + (", ".join(modules) or "unknown")


def judge_directory(directory: Path) -> dict[str, int]:
    """Print every report; count them by verdict."""
    counts = {FAILED: 0, UNCHECKED: 0, LEFT_ASIDE: 0}
    for path in sorted(directory.glob("*")):
        verdict, why = judge(path)
        counts[verdict] += 1
        if verdict == LEFT_ASIDE:
            print(f"sanitizer_reports: {path.name} left aside ({why})")
        else:
            print(f"==== {path.name}: {why}\n{path.read_text(errors='replace')}")
    if counts[FAILED] or counts[UNCHECKED]:
        print(f"sanitizer_reports: {counts[FAILED]} failed, {counts[UNCHECKED]} unchecked report(s) in {directory}")
    else:
        print(f"sanitizer_reports: no reports in {directory}")
    return counts


def run(directory: Path, command: list[str]) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    for attempt in (1, 2):
        status = subprocess.call(command)
        counts = judge_directory(directory)
        if attempt == 1 and counts[UNCHECKED] and not counts[FAILED]:
            print("sanitizer_reports: the leak check crashed (see above); running the command again", flush=True)
            shutil.rmtree(directory)
            directory.mkdir(parents=True)
            continue
        break
    return 0 if status == 0 and not counts[FAILED] and not counts[UNCHECKED] else 1


def main(argv: list[str]) -> int:
    if len(argv) >= 4 and argv[2] == "--":
        return run(Path(argv[1]), argv[3:])
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    counts = judge_directory(Path(argv[1]))
    return 1 if counts[FAILED] or counts[UNCHECKED] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
