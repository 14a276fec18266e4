#!/usr/bin/env bash
# Cross-compile the extension for armhf and build the wheel.
#
#   tools/armhf/build.sh [CACHE_DIR]      (default .cache/armhf; needs CACHE_DIR/sysroot)
#
# The project's own build backend makes the wheel, as for the host: `pip wheel`
# runs scikit-build-core with cmake/armhf-toolchain.cmake, so CMake builds into
# build/armhf (incremental) and the wheel, with the same files and metadata as
# the host's, lands in dist/armhf/norv-<version>-cp311-cp311-linux_armv7l.whl.
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(realpath -m "${1:-.cache/armhf}")
sysroot=$cache/sysroot
out=dist/armhf
tag=cp311-cp311-linux_armv7l
python=${PYTHON:-python3.11}

[ -x "$sysroot/usr/bin/python3.11" ] || { echo "build: no sysroot at $sysroot (tools/armhf/sysroot.sh)" >&2; exit 1; }

# scikit-build-core describes the interpreter that runs it unless told
# otherwise: the target interpreter comes from the toolchain file instead of
# the host's Python hints, and the tag is the target's. The toolchain file
# needs CMake 4.1+ (see there); when the one on PATH is older, scikit-build-core
# puts the `cmake` package into the isolated build environment.
mkdir -p "$out"
rm -f "$out"/*-"$tag".whl
"$python" -m pip wheel . --no-deps --disable-pip-version-check --wheel-dir "$out" \
    -C build-dir=build/armhf \
    -C cmake.version='>=4.1' \
    -C cmake.toolchain-file="$PWD/cmake/armhf-toolchain.cmake" \
    -C cmake.python-hints=false \
    -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -C cmake.define.NORV_ARMHF_SYSROOT="$sysroot" \
    -C wheel.tags="$tag" \
    -C wheel.reproducible=true

shopt -s nullglob
wheels=("$out"/*-"$tag".whl)
[ "${#wheels[@]}" -eq 1 ] || { echo "build: expected one $tag wheel in $out" >&2; exit 1; }

# The extension must load in the target interpreter: its suffix, and ARM
# EABI5 hard-float code (32-bit little-endian ELF, ET_DYN, EM_ARM).
suffix=$(qemu-arm -L "$sysroot" "$sysroot/usr/bin/python3.11" -c \
    'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
"$python" - "${wheels[0]}" "$suffix" <<'PY'
import struct, sys, zipfile

wheel, suffix = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(wheel) as zf:
    modules = [n for n in zf.namelist() if n.endswith(".so")]
    if modules != [f"norv/core/coordinator{suffix}"]:
        sys.exit(f"build: {wheel} holds {modules}, not norv/core/coordinator{suffix}")
    header = zf.read(modules[0])[:52]
problem = None
if len(header) < 52 or header[:6] != b"\x7fELF\x01\x01":
    problem = "not a 32-bit little-endian ELF file"
else:
    e_type, e_machine = struct.unpack_from("<HH", header, 16)
    (e_flags,) = struct.unpack_from("<I", header, 36)
    if (e_type, e_machine) != (3, 40):
        problem = f"type {e_type}, machine {e_machine}: not an ARM shared object"
    elif e_flags & 0xFF000000 != 0x05000000 or not e_flags & 0x400:
        problem = f"flags {e_flags:#010x}: not EABI5 hard-float"
if problem:
    sys.exit(f"build: {modules[0]} in {wheel}: {problem}")
print("build:", wheel)
PY
