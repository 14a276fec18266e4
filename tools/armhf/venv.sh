#!/usr/bin/env bash
# Make an environment whose interpreter is Debian's armhf CPython run by
# qemu-arm, usable from the host exactly like a native one:
#
#   tools/armhf/venv.sh [CACHE_DIR]      (default .cache/armhf)
#   CACHE_DIR/venv/bin/python -c '...'   runs on the emulated ARM CPU
#
# bin/python is a host shell script that execs qemu-arm on the sysroot's
# interpreter with argv[0] set to the script itself (qemu's -0). CPython then
# takes the script as sys.executable and finds pyvenv.cfg beside it, just as
# for a venv: sys.prefix is this folder (its site-packages takes the wheel),
# the standard library and Debian's dist-packages (pytest, hypothesis) come
# from the sysroot. So a test that starts sys.executable in a subprocess gets
# the emulated interpreter again, with no binfmt registration on the host,
# even under -I or with an environment of its own: nothing depends on
# environment variables.
set -euo pipefail
cd "$(dirname "$0")/../.."

cache=$(realpath -m "${1:-.cache/armhf}")
sysroot=$cache/sysroot
venv=$cache/venv
qemu=$(command -v qemu-arm) || { echo "venv: qemu-arm not found (make armhf-deps)" >&2; exit 1; }
interp=$sysroot/usr/bin/python3.11
[ -x "$interp" ] || { echo "venv: no armhf interpreter at $interp (tools/armhf/sysroot.sh)" >&2; exit 1; }

site=$venv/lib/python3.11/site-packages
mkdir -p "$venv/bin" "$site"
cat >"$venv/pyvenv.cfg" <<CFG
home = $sysroot/usr/bin
include-system-site-packages = true
version = 3.11
CFG

cat >"$venv/bin/python.tmp" <<SH
#!/bin/sh
# The armhf CPython of $sysroot under user-mode qemu; see tools/armhf/venv.sh.
exec $(printf %q "$qemu") -L $(printf %q "$sysroot") -0 "\$0" $(printf %q "$interp") "\$@"
SH
chmod +x "$venv/bin/python.tmp"
mv "$venv/bin/python.tmp" "$venv/bin/python"
ln -sfn python "$venv/bin/python3"
ln -sfn python "$venv/bin/python3.11"
