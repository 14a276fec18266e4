#!/usr/bin/env bash
# Host tool for the CPython 3.13 run: debootstrap, which makes the Debian
# trixie root that holds trixie's interpreter and C library (tools/py313/root.sh).
# Idempotent: does nothing when debootstrap is already on PATH, and refreshes
# the package lists only when the archive does not know the package yet.
set -euo pipefail

packages=(debootstrap)

if command -v debootstrap >/dev/null; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "py313-deps: installing ${packages[*]} needs root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
install() {
    apt-get install -y -q --no-install-recommends "${packages[@]}"
}

known() {
    apt-cache policy "${packages[0]}" 2>/dev/null | grep -q 'Candidate: [^(]'
}

if ! known || ! install; then
    apt-get update -q
    install
fi
