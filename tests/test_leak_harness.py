"""The reference-leak harness (tests/leaks/harness.py) as tests.

Under a debug interpreter every path of the module is measured and must leave
the reference total and the allocated blocks exactly where they were. Under
any interpreter every path runs its own outcome checks, so the harness cannot
drift away from what the module does. `make test-leaks` also hands over a
build that takes one extra reference per registration (NORV_LEAKY_STAGE): the
harness must pin that leak on the registration paths and on nothing else.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from leaks import harness

needs_debug = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="counting references needs a debug interpreter (python3.11-dbg)"
)
NAMES = list(harness.PATHS)


@pytest.mark.parametrize("name", NAMES)
def test_path_takes_its_road(name):
    with harness.Harness() as h:
        once = harness.PATHS[name](h)
        once()
        once()


@needs_debug
@pytest.mark.parametrize("name", NAMES)
def test_path_leaks_nothing(name):
    deltas = harness.measure(harness.PATHS[name])
    hint = "; negative references: was the extension compiled with Py_DEBUG?" if min(deltas)[0] < 0 else ""
    assert deltas == [(0, 0)] * harness.ROUNDS, f"(references, blocks) gained per round of {harness.CALLS} calls{hint}"


@needs_debug
def test_measurement_sees_a_kept_object():
    kept = []
    deltas = harness.measure(lambda h: lambda: kept.append(object()))
    assert len(kept) == harness.CALLS * (harness.WARMUP + harness.ROUNDS)
    assert all(refs >= harness.CALLS for refs, _ in deltas), deltas


@needs_debug
@pytest.mark.skipif("NORV_LEAKY_STAGE" not in os.environ, reason="make test-leaks provides the leaky build")
def test_harness_rejects_the_leaky_build():
    stage = os.environ["NORV_LEAKY_STAGE"]
    # The registration paths, plus controls that reach the same methods (binding
    # errors, a refused assignment) or other bodies without registering.
    selection = ["register", "construct/", "runner/detected_blocked", "pipeline/output_redacted"]
    command = [sys.executable, str(Path(harness.__file__)), "--json"]
    for text in selection:
        command += ["-k", text]
    proc = subprocess.run(command, env=dict(os.environ, PYTHONPATH=stage), capture_output=True, text=True,
                          timeout=600)
    assert proc.stdout, proc.stderr
    report = json.loads(proc.stdout)
    assert report["module"].startswith(stage)
    failing = {name: deltas for name, deltas in report["paths"].items() if any(d != [0, 0] for d in deltas)}
    registering = {name for name in report["paths"] if name.startswith("register/")}
    assert len(registering) == 6 and len(report["paths"]) > 40
    assert set(failing) == registering
    one_per_registration = [[harness.CALLS, harness.CALLS]] * harness.ROUNDS
    assert all(deltas == one_per_registration for deltas in failing.values()), failing
    assert proc.returncode == 1
