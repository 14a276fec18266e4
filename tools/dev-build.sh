#!/usr/bin/env bash
# Inner-loop build: compile the extension into build/dev and drop it beside the
# Python sources, so `PYTHONPATH=python python3.11 ...` imports the fresh module.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v python3.11)" >/dev/null
cmake --build build/dev -j2
cp build/dev/coordinator*.so python/norv/core/
