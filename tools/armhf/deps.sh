#!/usr/bin/env bash
# Host tools for the armhf build: Debian's cross toolchain and user-mode qemu.
# Both are ordinary amd64 packages; nothing armhf is installed on the host.
# Idempotent: does nothing when both tools are already on PATH, and refreshes
# the package lists only when the archive does not know the packages yet.
set -euo pipefail

packages=(g++-arm-linux-gnueabihf qemu-user)

if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "armhf-deps: installing ${packages[*]} needs root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
install() {
    # --no-install-recommends also keeps qemu-user-binfmt out: the tests must
    # not depend on a binfmt registration that a CI machine will not have.
    apt-get install -y -q --no-install-recommends "${packages[@]}"
}

known() {
    local p
    for p in "${packages[@]}"; do
        apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || return 1
    done
}

if ! known || ! install; then
    apt-get update -q
    install
fi
