#!/usr/bin/env bash
# Make a Debian trixie root holding CPython 3.13, its headers and a C++
# toolchain, for building and testing the extension against 3.13. Trixie's
# interpreter needs trixie's C library, so it runs inside this root
# (tools/py313/run.sh) rather than on the host.
#
#   tools/py313/root.sh [ROOT]     (default ${XDG_CACHE_HOME:-~/.cache}/norv/trixie)
#
# The root is kept outside the work tree so that later runs and other clones
# reuse it; it is rebuilt only when its package list below changes. Nothing
# here touches the host's dpkg state: debootstrap keeps its own inside ROOT.
set -euo pipefail
cd "$(dirname "$0")/../.."

root=$(realpath -m "${1:-${XDG_CACHE_HOME:-$HOME/.cache}/norv/trixie}")
suite=trixie
mirror=${NORV_DEBIAN_MIRROR:-http://deb.debian.org/debian}
# The interpreter with its headers and venv module, and what builds the
# extension (scikit-build-core runs CMake, which drives make and g++), and
# user-mode qemu for the semantic model's portability test.
packages=(python3.13 python3.13-dev python3.13-venv g++ cmake make ca-certificates qemu-user)

stamp=$root/.norv-root
want="suite: $suite; packages: ${packages[*]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "py313-root: debootstrap needs root" >&2
    exit 1
fi
command -v debootstrap >/dev/null || { echo "py313-root: no debootstrap (make py313-deps)" >&2; exit 1; }

tmp=$root.tmp
# A half-made root from an interrupted run may still have mounts inside it.
bash tools/py313/unmount.sh "$tmp"
rm -rf --one-file-system "$tmp"
mkdir -p "$(dirname "$root")"
debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
    "$suite" "$tmp" "$mirror"
# The package cache is not needed once everything is unpacked.
rm -f "$tmp"/var/cache/apt/archives/*.deb
echo "$want" >"$tmp/.norv-root"

bash tools/py313/unmount.sh "$root"
rm -rf --one-file-system "$root"
mv "$tmp" "$root"
echo "py313-root: $root ($(du -sh "$root" | cut -f1))"
