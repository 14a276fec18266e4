# norv: build, test, demo and benchmark targets. `make help` lists them.
PYTHON ?= python3.11
VENV   ?= .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip
export PYTHONFAULTHANDLER := 1

.PHONY: help venv install test test-fast demo bench clean

help:
	@echo "make demo       set up and screen the sample file"
	@echo "make test       set up and run every test suite (what CI runs)"
	@echo "make test-fast  the pytest suite against the release build only"
	@echo "make bench      run the benchmark suite"

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

venv: $(VPY)

# Reinstall every time: scikit-build-core keeps its build folder, so this is incremental.
# The optional extras are installed too, since their tests are part of the suite.
EXTRAS ?= test,metrics,service
install: $(VPY)
	$(PIP) install --quiet ".[$(EXTRAS)]"

demo: install
	$(VENV)/bin/norv screen examples/screening.jsonl

test-fast: install
	PYTHONDEVMODE=1 $(VPY) -m pytest -q tests

test: test-fast test-hardening check-armhf

clean:
	rm -rf build dist .venv* .hypothesis .pytest_cache

# Further targets (hardening, ARM, benchmarks) live in mk/.
-include mk/*.mk
