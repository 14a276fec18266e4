#!/usr/bin/env bash
# Undo every mount below a root made by tools/py313/root.sh, deepest first.
#
#   tools/py313/unmount.sh ROOT
set -euo pipefail
root=$(realpath -m "$1")
[ -d "$root" ] || exit 0
# /proc/self/mountinfo escapes spaces as \040; the roots made here have none.
awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r | while read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m"
    done
