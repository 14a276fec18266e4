# Hardening: the pytest suite against an AddressSanitizer + UBSan build and
# against Debian's debug interpreter, and the reference-leak harness.
# `make test-hardening` runs all three; docs/hardening.md explains each.
#
# Builds live in build/asan, build/dbg and build/dbg-leaky. Each is staged as
# <dir>/stage/norv: a fresh copy of python/norv with that build's extension in
# place of any other, so PYTHONPATH=<dir>/stage imports exactly that build.

DBG_PYTHON  ?= python3.11-dbg
ASAN_DIR    := build/asan
DBG_DIR     := build/dbg
LEAKY_DIR   := build/dbg-leaky
DBG_VENV    := $(DBG_DIR)/venv
DBG_VPY     := $(DBG_VENV)/bin/python
HARDENING_PYTEST_ARGS ?=

SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
# CMake hands the interpreter's include directory to the compiler as -isystem;
# Debian's python3.11d directory holds symlinks into python3.11, and with
# -isystem GCC then picks up the release pyconfig.h, so the extension would be
# compiled without Py_DEBUG: its Py_INCREF/Py_DECREF would not count in
# sys.gettotalrefcount() and the interpreter's debug assertions would be off.
DBG_FLAGS   := -DPy_DEBUG
# One extra reference per registration (src/core/construction.cpp): the build
# that the leak harness must reject.
LEAKY_FLAGS := $(DBG_FLAGS) -DNORV_TEST_LEAK=1

ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
ASAN_REPORTS = $(abspath $(ASAN_DIR))/reports
CMAKE_GENERATOR_FLAG = $(if $(shell command -v ninja),-G Ninja,)

# $(call hardening_build,<dir>,<python>,<extra flags>): configure, build, stage.
define hardening_build
	cmake -S . -B $(1) $(CMAKE_GENERATOR_FLAG) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE="$(2)" -DNORV_EXTRA_FLAGS="$(3)" >/dev/null
	cmake --build $(1) -j2
	rm -rf $(1)/stage && mkdir -p $(1)/stage
	cp -R python/norv $(1)/stage/norv
	find $(1)/stage -name '*.so' -delete
	find $(1)/stage -name __pycache__ -prune -exec rm -rf {} +
	cp $(1)/coordinator*.so $(1)/stage/norv/core/
endef

# A debug build must count references: the extension has to refer to the
# interpreter's total, which it does only when compiled with Py_DEBUG.
define require_refcount_debug
	nm -D --undefined-only $(1)/coordinator*.so | grep -q '_Py_RefTotal' || \
	    { echo "$(1): extension not compiled with Py_DEBUG (no _Py_RefTotal)"; exit 1; }
endef

# Fails unless PYTHONPATH=<stage> imports the staged extension.
define require_staged
	$(1) -c 'import sys, norv.core.coordinator as c; sys.exit(0 if c.__file__.startswith(sys.argv[1]) else "imported " + c.__file__)' $(abspath $(2))/stage/
endef

.PHONY: hardening-deps hardening-venv build-asan build-dbg build-dbg-leaky \
        test-asan test-debug test-leaks test-hardening clean-hardening

# Debian's debug interpreter (and venv support for it). apt-get update runs
# only when something is missing.
hardening-deps:
	@dpkg -s python3.11-dbg python3.11-venv >/dev/null 2>&1 || \
	    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
	      python3.11-dbg python3.11-venv; }

# The release venv runs the sanitizer build; it only needs the test tools.
hardening-venv: $(VPY)
	$(PIP) install --quiet "pytest>=7" "hypothesis>=6"

$(DBG_VPY): | hardening-deps
	$(DBG_PYTHON) -m venv $(DBG_VENV)
	$(DBG_VPY) -m pip install --quiet "pytest>=7" "hypothesis>=6"

build-asan: hardening-venv
	$(call hardening_build,$(ASAN_DIR),$(abspath $(VPY)),$(SANITIZE_FLAGS))

build-dbg: hardening-deps
	$(call hardening_build,$(DBG_DIR),$(shell command -v $(DBG_PYTHON)),$(DBG_FLAGS))
	$(call require_refcount_debug,$(DBG_DIR))

build-dbg-leaky: hardening-deps
	$(call hardening_build,$(LEAKY_DIR),$(shell command -v $(DBG_PYTHON)),$(LEAKY_FLAGS))
	$(call require_refcount_debug,$(LEAKY_DIR))

# The whole suite with the sanitizer runtime preloaded (child interpreters
# that tests start inherit it). Reports go to files, one per process, so that
# a report from a child whose failure a test expects still fails the run.
# LeakSanitizer stays on; tools/hardening/sanitizer_reports.py runs the suite
# and says what it leaves aside, and when it runs the suite a second time.
ASAN_CHECKS = detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1
ASAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
    ASAN_OPTIONS=$(ASAN_CHECKS):log_path=$(ASAN_REPORTS)/asan \
    UBSAN_OPTIONS=print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
    PYTHONPATH=$(abspath $(ASAN_DIR))/stage

test-asan: build-asan
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	env $(ASAN_ENV) $(call require_staged,$(VPY),$(ASAN_DIR))
	$(PYTHON) tools/hardening/sanitizer_reports.py $(ASAN_REPORTS) -- \
	    env $(ASAN_ENV) PYTHONDEVMODE=1 $(VPY) -m pytest -q -p no:cacheprovider tests $(HARDENING_PYTEST_ARGS)

# The whole suite under the debug interpreter, except the leak harness, which
# test-leaks runs.
test-debug: build-dbg $(DBG_VPY)
	PYTHONPATH=$(abspath $(DBG_DIR))/stage $(call require_staged,$(DBG_VPY),$(DBG_DIR))
	PYTHONPATH=$(abspath $(DBG_DIR))/stage PYTHONDEVMODE=1 $(DBG_VPY) -m pytest -q -p no:cacheprovider \
	    --ignore=tests/test_leak_harness.py tests $(HARDENING_PYTEST_ARGS)

# Every path of the module, warmed up and then measured; then the same harness
# against the leaky build, which it must reject.
test-leaks: build-dbg build-dbg-leaky $(DBG_VPY)
	PYTHONPATH=$(abspath $(DBG_DIR))/stage NORV_LEAKY_STAGE=$(abspath $(LEAKY_DIR))/stage \
	    $(DBG_VPY) -m pytest -q -p no:cacheprovider tests/test_leak_harness.py

test-hardening: hardening-deps test-asan test-debug test-leaks

clean-hardening:
	rm -rf $(ASAN_DIR) $(DBG_DIR) $(LEAKY_DIR)
