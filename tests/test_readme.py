"""The Python examples of the README and of docs/ run as written and print what their comments say."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import TIME_SCALE, UNDER_ASAN

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
OPTIONAL = ("prometheus_client", "fastapi", "uvicorn", "httpx")


def examples():
    found = []
    for page in PAGES:
        blocks = re.findall(r"^```python\n(.*?)^```", page.read_text(encoding="utf-8"), flags=re.S | re.M)
        found += [pytest.param(code, id=f"{page.name}:{code.splitlines()[0][:40]}") for code in blocks]
    assert len(found) > 5, "the README and docs/ have no Python examples"
    return found


def expected_output(code):
    """One entry per print() at the block's top level: the text its comment shows, or None."""
    lines = code.splitlines()
    expected = []
    for index, line in enumerate(lines):
        if not re.match(r"\s*print\(", line):
            continue
        inline = re.search(r"\)\s+#\s(.*)$", line)
        following = lines[index + 1].strip() if index + 1 < len(lines) else ""
        if inline:
            expected.append(inline.group(1).rstrip())
        elif following.startswith("# "):
            expected.append(following[2:])
        else:
            expected.append(None)
    return expected


@pytest.mark.skipif(TIME_SCALE > 1,
                    reason="the examples use the default 50 ms limit, which guards overrun under emulation")
@pytest.mark.parametrize("code", examples())
def test_readme_example_runs(code, tmp_path):
    missing = [name for name in OPTIONAL if re.search(rf"\b(from|import) {name}\b", code)
               and subprocess.run([sys.executable, "-c", f"import {name}"], capture_output=True).returncode]
    if missing:
        pytest.skip(f"needs {', '.join(missing)}")
    if "SemanticGuard" in code:
        # As the semantic guard's own tests: its extra and model, and no leak
        # detection under the sanitizer (numpy's static state).
        if UNDER_ASAN or subprocess.run([sys.executable, "-c", "import onnxruntime"], capture_output=True).returncode:
            pytest.skip("needs the semantic extra, outside the sanitizer run")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                          timeout=120 * TIME_SCALE)
    assert done.returncode == 0, done.stderr
    printed = done.stdout.splitlines()
    wanted = expected_output(code)
    assert len(printed) == len(wanted), (printed, wanted)
    for got, want in zip(printed, wanted, strict=False):
        if want is not None:
            assert got == want
