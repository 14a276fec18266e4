#!/usr/bin/env bash
# Cross-compile the extension for armhf and assemble the wheel.
#
#   tools/armhf/build.sh [CACHE_DIR]      (default .cache/armhf; needs CACHE_DIR/sysroot)
#
# CMake with cmake/armhf-toolchain.cmake builds into build/armhf (incremental),
# `cmake --install --strip` lays the extension out as the project installs it,
# and tools/armhf/wheel.py packs it with the Python side into
# dist/armhf/norv-<version>-cp311-cp311-linux_armv7l.whl.
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(realpath -m "${1:-.cache/armhf}")
sysroot=$cache/sysroot
build=build/armhf
stage=$build/wheel-root
out=dist/armhf
tag=cp311-cp311-linux_armv7l
python=${PYTHON:-python3.11}

# The toolchain file needs CMake 4.1+ (see there). Take the one on PATH when it
# is new enough, else the one that `pip install cmake` put beside $python.
cmake_ok() {
    local v
    v=$("$1" --version 2>/dev/null | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
    [ -n "$v" ] && [ "$(printf '%s\n' 4.1 "$v" | sort -V | head -1)" = 4.1 ]
}
cmake=${CMAKE:-cmake}
if ! cmake_ok "$cmake"; then
    pip_cmake=$("$python" -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))' 2>/dev/null || true)
    if [ -n "$pip_cmake" ] && cmake_ok "$pip_cmake"; then
        cmake=$pip_cmake
    else
        echo "build: the armhf cross build needs CMake 4.1 or newer: $python -m pip install cmake" >&2
        exit 1
    fi
fi

[ -x "$sysroot/usr/bin/python3.11" ] || { echo "build: no sysroot at $sysroot (tools/armhf/sysroot.sh)" >&2; exit 1; }

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
"$cmake" -S . -B "$build" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" \
    -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
    -DNORV_ARMHF_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE=Release
"$cmake" --build "$build" -j2
rm -rf "$stage"
"$cmake" --install "$build" --prefix "$stage" --strip

# The extension must load in the target interpreter: right suffix, ARM code.
suffix=$(qemu-arm -L "$sysroot" "$sysroot/usr/bin/python3.11" -c \
    'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
mapfile -t modules < <(find "$stage" -name '*.so')
[ "${#modules[@]}" -gt 0 ] || { echo "build: cmake --install produced no extension" >&2; exit 1; }
for so in "${modules[@]}"; do
    case $so in
        *"$suffix") ;;
        *) echo "build: $so does not end in $suffix" >&2; exit 1 ;;
    esac
    if command -v file >/dev/null; then
        desc=$(file -b "$so")
        case $desc in
            "ELF 32-bit LSB shared object, ARM, EABI5"*) ;;
            *) echo "build: $so is not an armhf shared object: $desc" >&2; exit 1 ;;
        esac
    fi
done

mkdir -p "$out"
rm -f "$out"/*-"$tag".whl
"$python" tools/armhf/wheel.py build --staging "$stage" --out "$out" --tag "$tag" --elf-machine arm
