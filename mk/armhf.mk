# 32-bit ARM Linux (Debian armhf): cross build on this x86-64 machine with
# Debian's arm-linux-gnueabihf toolchain, tests under user-mode qemu-arm.
# The armhf sysroot and the emulated environment live in $(ARMHF_CACHE)
# (git-ignored); the host's Python and dpkg state are left alone.

ARMHF_CACHE ?= .cache/armhf

.PHONY: armhf-deps armhf check-armhf clean-armhf

# Host tools (amd64 packages): g++-arm-linux-gnueabihf, qemu-user.
armhf-deps:
	bash tools/armhf/deps.sh

# Sysroot (once, cached), cross build into build/armhf, wheel into dist/armhf.
armhf: armhf-deps
	bash tools/armhf/sysroot.sh $(ARMHF_CACHE)
	PYTHON=$(PYTHON) bash tools/armhf/build.sh $(ARMHF_CACHE)

# The pytest suite with Debian's armhf CPython 3.11 under qemu-arm, on the wheel.
# ARMHF_PYTEST_ARGS narrows the run, e.g. ARMHF_PYTEST_ARGS="tests/test_x.py -x".
ARMHF_PYTEST_ARGS ?= tests
check-armhf: armhf
	PYTHON=$(PYTHON) bash tools/armhf/check.sh $(ARMHF_CACHE) -- $(ARMHF_PYTEST_ARGS)

clean-armhf:
	rm -rf $(ARMHF_CACHE) build/armhf dist/armhf
