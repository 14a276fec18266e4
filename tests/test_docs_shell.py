"""The shell examples of the README and of docs/ run as written, and the exit
statuses docs/command.md documents are those the commands use.

A ``sh`` or ``bash`` block runs under ``set -e -o pipefail`` in a scratch
directory holding a copy of examples/, with this interpreter's ``norv`` and
``python`` first on PATH. It must end with status 0, or with the status its
last line names (``# exit status 1``). A block whose first line starts with
``$ `` (an untagged or ``console`` block) is a session: ``$ `` lines are
commands, the lines under them what they print (standard output and error
together); the printed lines must match, except decimal numbers (timings)
and the width of the gaps between columns. A block that
cannot run here (it builds a root, runs make, installs packages, starts a
server) has ``<!-- not run: why -->`` on the line before its fence; any other
block runs, so a new example is tried as soon as it is written.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import TIME_SCALE, UNDER_ASAN
from norv.vocabulary import EXIT

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```[ \t]*$", re.S | re.M)
SHELL = ("sh", "bash")
NOT_RUN = re.compile(r"^<!--\s*not run:\s*(\S.*?)\s*-->$")
STATUS = re.compile(r"^# exit status (\d+)\b")


def fences():
    """(page, line of the opening fence, language, body, the line before the fence) for every block."""
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            before = text[:match.start()].rstrip("\n").rpartition("\n")[2].strip()
            yield page, text.count("\n", 0, match.start()) + 1, match.group(1).strip(), match.group(2), before


def is_session(body):
    return body.startswith("$ ")


def shell_blocks():
    found = []
    for page, line, language, body, before in fences():
        if language not in SHELL and not is_session(body):
            continue
        marks = ()
        reason = NOT_RUN.match(before)
        if reason:
            marks = pytest.mark.skip(reason=f"not run: {reason.group(1)}")
        found.append(pytest.param(body, id=f"{page.name}:{line}", marks=marks))
    assert sum(not param.marks for param in found) >= 3, "the README and docs/ have no runnable shell examples"
    return found


def test_every_block_names_its_language_or_is_a_session():
    # An untagged block would escape both this test and the Python one.
    untagged = [f"{page.name}:{line}" for page, line, language, body, _ in fences()
                if not language and not is_session(body)]
    assert not untagged, f"say the block's language (sh, json, text, ...): {untagged}"


def test_not_run_markers_sit_on_shell_blocks():
    marked = sum(bool(NOT_RUN.match(before)) for _, _, language, body, before in fences()
                 if language in SHELL or is_session(body))
    written = sum(len(re.findall(r"^<!--\s*not run:", page.read_text(encoding="utf-8"), flags=re.M))
                  for page in PAGES)
    assert marked == written, "a 'not run' marker that is not on the line right before a shell block"


def comparable(line):
    """The line without what differs from run to run: decimals (timings) and column padding."""
    return " ".join(re.sub(r"\d+\.\d+", "#", line).split())


def session(body):
    """The commands of a console block, and the lines they are shown to print."""
    commands, shown = [], []
    for line in body.splitlines():
        if line.startswith("$ "):
            commands.append(line[2:])
        else:
            shown.append(line)
    return commands, shown


@pytest.mark.skipif(TIME_SCALE > 1,
                    reason="the examples use the default 50 ms limit, which guards overrun under emulation")
@pytest.mark.skipif(UNDER_ASAN, reason="bash and the tools the blocks call are not built for the sanitizer; "
                                       "the command's own tests run there")
@pytest.mark.parametrize("body", shell_blocks())
def test_shell_example_runs(body, tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    # This interpreter's norv, whether or not its scripts are installed (the
    # debug interpreter's run imports the package from the source tree).
    bin_dir = tmp_path / ".bin"
    bin_dir.mkdir()
    for name, command in (("python", ""), ("norv", " -m norv")):
        (bin_dir / name).write_text(f'#!/bin/sh\nexec "{sys.executable}"{command} "$@"\n', encoding="utf-8")
        (bin_dir / name).chmod(0o755)
    env = dict(os.environ, PATH=os.pathsep.join([str(bin_dir), os.environ.get("PATH", "")]))
    lines = [line for line in body.splitlines() if line.strip()]
    status = STATUS.match(lines[-1]) if lines else None
    wanted = int(status.group(1)) if status else 0
    commands, shown = session(body) if is_session(body) else (lines, None)
    done = subprocess.run(["bash", "-c", "\n".join(["set -e -o pipefail", *commands])], cwd=tmp_path, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT if shown is not None else subprocess.PIPE,
                          text=True, timeout=120 * TIME_SCALE)
    assert done.returncode == wanted, (done.stdout, done.stderr)
    if shown is not None:
        printed = [comparable(line) for line in done.stdout.rstrip("\n").splitlines()]
        assert printed == [comparable(line) for line in "\n".join(shown).rstrip("\n").splitlines()]


def exit_status_table(text):
    """The statuses in the first column of the table under the heading "Exit status"."""
    sections = re.findall(r"^#+ Exit status\n(.*?)(?=^#|\Z)", text, flags=re.S | re.M)
    assert len(sections) == 1, "docs/command.md should have one section headed 'Exit status'"
    rows = re.findall(r"^\|\s*([^|]*?)\s*\|", sections[0], flags=re.M)
    return [row for row in rows if row and not set(row) <= set("-:") and row != "Status"]


def test_exit_status_table_lists_exactly_the_commands_statuses():
    documented = exit_status_table((ROOT / "docs" / "command.md").read_text(encoding="utf-8"))
    assert all(row.isdigit() for row in documented), documented
    statuses = [int(row) for row in documented]
    assert len(statuses) == len(set(statuses)), f"a status documented twice: {statuses}"
    assert set(statuses) == set(EXIT.values())

