#!/usr/bin/env bash
# Run the project's pytest suite on the armhf wheel, under qemu-arm.
#
#   tools/armhf/check.sh [CACHE_DIR] [-- PYTEST_ARGS...]   (default .cache/armhf; default args: tests)
#
# The wheel from dist/armhf is installed into CACHE_DIR/venv, whose
# bin/python runs Debian's armhf CPython under qemu (tools/armhf/venv.sh);
# that script is also sys.executable inside, so subprocess tests re-enter the
# emulator.
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(realpath -m .cache/armhf)
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    cache=$(realpath -m "$1")
    shift
fi
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || set -- tests

python=${PYTHON:-python3.11}
venv=$cache/venv

shopt -s nullglob
wheels=(dist/armhf/*-cp311-cp311-linux_armv7l.whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "check: expected one armhf wheel in dist/armhf (make armhf)" >&2; exit 1; }

bash tools/armhf/venv.sh "$cache"
# The target interpreter has no pip of its own; the host's pip runs under it
# (--python), so it checks the wheel's tag against the emulated interpreter and
# writes console scripts for it.
"$python" -m pip --python "$venv/bin/python" install --no-index --no-deps --force-reinstall \
    --disable-pip-version-check --quiet "${wheels[0]}"

# What the tests import must be the installed wheel, for the target.
(cd / && "$venv/bin/python" -c '
import importlib.machinery, norv.core.coordinator as m, platform, sys
assert platform.machine().startswith("armv7"), platform.machine()
assert m.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0]), m.__file__
assert m.__file__.startswith(sys.prefix), (m.__file__, sys.prefix)
print("check: norv.core.coordinator", m.__file__, "on", platform.machine())
')

# Emulation runs code about 7-15 times slower than the host (process start-up
# about 20 times); tests that bound a duration read this factor to widen it.
export NORV_TEST_TIME_SCALE=${NORV_TEST_TIME_SCALE:-10}
export PYTHONDEVMODE=${PYTHONDEVMODE-1}
export PYTHONFAULTHANDLER=1
# The host's own site folders and settings must not leak into the target run.
unset PYTHONPATH PYTHONHOME PYTHONSTARTUP PYTHONUSERBASE
# A test that hangs under emulation must not take the whole CI budget with it:
# stacks are dumped after ARMHF_TEST_STALL seconds in one test, and the run is
# stopped after ARMHF_TEST_TIMEOUT seconds in all.
exec timeout --kill-after=30 "${ARMHF_TEST_TIMEOUT:-2700}" \
    "$venv/bin/python" -m pytest -p no:cacheprovider -o faulthandler_timeout="${ARMHF_TEST_STALL:-600}" "$@"
