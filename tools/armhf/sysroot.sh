#!/usr/bin/env bash
# Prepare an armhf sysroot from Debian's own armhf packages, without touching
# the host's dpkg state: apt runs with a private configuration (architecture
# armhf, its own state, status and cache folders, the host's source list) and
# only downloads; each package is then unpacked with `dpkg -x`, which records
# nothing in the host's package database and runs no maintainer script.
#
#   tools/armhf/sysroot.sh [CACHE_DIR]      (default .cache/armhf)
#
# Result: CACHE_DIR/sysroot, reused while its package list is unchanged.
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(realpath -m "${1:-.cache/armhf}")
sysroot=$cache/sysroot
aptdir=$cache/apt

# The interpreter and headers to build against, the C++ runtime the extension
# links to (not in Python's own closure), and what the test suite imports.
packages=(python3.11 libpython3.11-dev libstdc++6 python3-pytest python3-hypothesis)

stamp=$sysroot/.norv-sysroot
want="packages: ${packages[*]}"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    exit 0
fi

mkdir -p "$aptdir"/{state/lists/partial,cache/archives/partial,log,parts,preferences.d}
: >"$aptdir/state/status"

# apt reads APT_CONFIG first, then Dir::Etc::parts, then Dir::Etc::main. The
# parts are a copy of the host's (proxies and archive settings still apply);
# pointing main back at our file makes our settings the last word.
if [ -d /etc/apt/apt.conf.d ]; then
    find "$aptdir/parts" -mindepth 1 -delete
    cp -L /etc/apt/apt.conf.d/* "$aptdir/parts/" 2>/dev/null || true
fi
conf=$aptdir/apt.conf
cat >"$conf" <<CONF
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Dir::State "$aptdir/state";
Dir::State::lists "$aptdir/state/lists";
Dir::State::status "$aptdir/state/status";
Dir::State::extended_states "$aptdir/state/extended_states";
Dir::Cache "$aptdir/cache";
Dir::Cache::archives "$aptdir/cache/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Log "$aptdir/log";
Dir::Etc::sourcelist "/etc/apt/sources.list";
Dir::Etc::sourceparts "/etc/apt/sources.list.d";
Dir::Etc::preferences "$aptdir/preferences";
Dir::Etc::preferencesparts "$aptdir/preferences.d";
Dir::Etc::parts "$aptdir/parts";
Dir::Etc::main "$conf";
// Downloads run as root into folders that the _apt user may not reach.
APT::Sandbox::User "root";
// No host hooks: they are written for the host's own state.
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Invoke;
#clear DPkg::Post-Invoke;
#clear DPkg::Pre-Install-Pkgs;
CONF
export APT_CONFIG=$conf
export DEBIAN_FRONTEND=noninteractive

# A source the host lists but cannot reach makes `update` exit non-zero even
# though Debian's lists arrived; the download step below fails clearly if not.
apt-get update -q || echo "sysroot: apt-get update reported errors; trying the download anyway" >&2
find "$aptdir/cache/archives" -maxdepth 1 -name '*.deb' -delete
apt-get install -y -q -d --no-install-recommends "${packages[@]}"

tmp=$sysroot.tmp
rm -rf "$tmp"
mkdir -p "$tmp"
n=0
for deb in "$aptdir"/cache/archives/*.deb; do
    dpkg -x "$deb" "$tmp"
    n=$((n + 1))
done
# An empty cache keeps the armhf loader (under qemu -L) from reading the
# host's /etc/ld.so.cache; it then searches its own default folders.
mkdir -p "$tmp/etc"
: >"$tmp/etc/ld.so.cache"
echo "$want" >"$tmp/.norv-sysroot"

rm -rf "$sysroot"
mv "$tmp" "$sysroot"
echo "sysroot: $n packages in $sysroot ($(du -sh "$sysroot" | cut -f1))"
