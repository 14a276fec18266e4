#!/usr/bin/env bash
# Inside the trixie root (tools/py313/run.sh): a CPython 3.13 venv in the work
# tree with the project installed from source, as `make install` does on the
# host. scikit-build-core builds the extension against 3.13 into its own
# build folder (build/cp313-...), incrementally on later runs.
#
#   tools/py313/run.sh ROOT tools/py313/install.sh [VENV] [EXTRAS]
set -euo pipefail
cd "$(dirname "$0")/../.."

venv=$(realpath -m "${1:-.venv-py313}")
extras=${2:-test,metrics,service,semantic,semantic-train}
python=python3.13

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet ".[$extras]"
case ",$extras," in
    *,semantic,*) "$venv/bin/python" -m norv.guards.semantic fetch --data ;;
esac
# The extension that the tests will import is the one just built for 3.13.
(cd / && "$venv/bin/python" -c '
import importlib.machinery, sys, norv.core.coordinator as m
assert sys.version_info[:2] == (3, 13), sys.version
assert m.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0]), m.__file__
assert m.__file__.startswith(sys.prefix), (m.__file__, sys.prefix)
print("py313:", sys.version.split()[0], m.__file__)
')
