#!/usr/bin/env bash
# Run a command inside the trixie root (tools/py313/root.sh), in this work tree.
#
#   tools/py313/run.sh ROOT COMMAND [ARGS...]
#
# The command runs under chroot in a private mount namespace (unshare -m):
# every mount made here (proc, sys, dev, a fresh /tmp, the work tree, the
# host's network and pip settings) exists for this command only and vanishes
# with it, however it ends, so nothing is left mounted in the cached root and
# two runs never see each other's mounts.
#
# The work tree appears at its own path, so paths in build folders and venvs
# are the same inside and out. The host's resolver files, CA bundle and pip
# configuration (with the local folders it names, read-only) are mounted over
# the root's, so pip inside reaches what the host's pip reaches.
set -euo pipefail
cd "$(dirname "$0")/../.."

[ $# -ge 2 ] || { echo "usage: tools/py313/run.sh ROOT COMMAND [ARGS...]" >&2; exit 2; }
root=$(realpath -m "$1")
shift
[ -f "$root/.norv-root" ] || { echo "py313-run: no root at $root (tools/py313/root.sh)" >&2; exit 1; }
if [ "$(id -u)" -ne 0 ]; then
    echo "py313-run: chroot needs root" >&2
    exit 1
fi

if [ -z "${NORV_PY313_NS:-}" ]; then
    # Re-enter in a mount namespace of our own; its mounts never reach the host.
    exec env NORV_PY313_NS=1 unshare --mount --propagation private -- "$PWD/tools/py313/run.sh" "$root" "$@"
fi

tree=$PWD
host_python=${PYTHON:-python3.11}

bind_ro() {  # bind_ro PATH: the host's PATH at the same place in the root, read-only
    local src=$1 dst=$root$1
    if [ -d "$src" ]; then
        mkdir -p "$dst"
    else
        mkdir -p "$(dirname "$dst")"
        [ -e "$dst" ] || : >"$dst"
    fi
    mount --bind "$src" "$dst"
    mount -o remount,bind,ro "$dst"
}

mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mkdir -p "$root$tree"
mount --bind "$tree" "$root$tree"

for f in /etc/resolv.conf /etc/hosts; do
    [ -e "$f" ] && bind_ro "$(realpath "$f")"
done
# The pip configuration files in force on the host, and every existing local
# path their settings name (CA bundle, constraints, local indexes, wheel folders).
if "$host_python" -m pip --version >/dev/null 2>&1; then
    while IFS= read -r p; do
        [ -e "$p" ] && bind_ro "$(realpath "$p")"
    done < <(
        {
            "$host_python" -m pip config debug 2>/dev/null | sed -n 's/^ *\(\/[^,]*\), exists: True$/\1/p'
            "$host_python" -m pip config list 2>/dev/null | sed "s/^[^=]*='\(.*\)'$/\1/" | tr ' ' '\n' |
                sed -n 's,^file://,,; /^\//p'
            # A local index's pages may link to files beside it (../files/...).
            "$host_python" -m pip config list 2>/dev/null | sed -n "s/^[^=]*index-url='\(.*\)'$/\1/p" |
                tr ' ' '\n' | sed -n 's,^file://\(/.*\)/[^/]*/*$,\1,p'
        } | sort -u
    )
fi
# The root's own CA bundle may lack the host's additions.
for f in /etc/ssl/certs/ca-certificates.crt; do
    [ -e "$f" ] && bind_ro "$f"
done

# A clean environment: the host's venv, paths and interpreter settings must
# not leak in; pip's settings and the run's switches pass through.
keep=()
while IFS='=' read -r name _; do
    case $name in
        NORV_PY313_NS) ;;
        PIP_* | NORV_* | PYTHONDEVMODE | PYTHONFAULTHANDLER | CI) keep+=("$name=${!name}") ;;
    esac
done < <(env)
mkdir -p "$root$HOME"
exec chroot "$root" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME="$HOME" LANG=C.UTF-8 TERM="${TERM:-dumb}" "${keep[@]}" \
    /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$tree" "$@"
