# CPython 3.13 beside the host's 3.11. Debian trixie's interpreter needs
# trixie's C library, so it runs in a trixie root made by debootstrap and
# entered with chroot in a private mount namespace (tools/py313/run.sh); the
# work tree appears there at its own path. The root lives outside the tree, in
# $(PY313_ROOT), and is reused while its package list is unchanged; the venv
# ($(PY313_VENV)) and the build folder (build/cp313-...) are in the tree.
# Nothing is installed on the host but debootstrap.

PY313_ROOT ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/norv/trixie
PY313_VENV ?= .venv-py313
PY313_RUN  := PYTHON=$(PYTHON) bash tools/py313/run.sh $(PY313_ROOT)

.PHONY: py313-deps py313-root py313-install check-py313 bench-py313 wheels clean-py313

py313-deps:
	bash tools/py313/deps.sh

# The root (once, cached): about 1.5 minutes and 1.1 GB.
py313-root: py313-deps
	bash tools/py313/root.sh $(PY313_ROOT)

# The venv in the root, with the package built against 3.13 and the same
# extras as `make install`, and the semantic model in the root's own cache.
py313-install: py313-root
	$(PY313_RUN) tools/py313/install.sh $(PY313_VENV) $(EXTRAS)

# The whole pytest suite on 3.13, as test-fast runs it on 3.11 (the model
# required, qemu-x86_64 from the root for the portability test).
# PY313_PYTEST_ARGS narrows the run, e.g. PY313_PYTEST_ARGS="tests/test_module.py -x".
PY313_PYTEST_ARGS ?= tests
check-py313: py313-install
	$(PY313_RUN) env NORV_SEMANTIC_REQUIRED=1 PYTHONDEVMODE=1 \
	    $(PY313_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PY313_PYTEST_ARGS)

# The benchmark suite on 3.13 (see mk/bench.mk); BENCH_ARGS passes options
# to bench/run.py, e.g. BENCH_ARGS="--results bench/results-py313".
BENCH_ARGS ?= --results bench/results/py313
bench-py313: py313-install
	$(PY313_RUN) $(PY313_VENV)/bin/python -m pip install --quiet "$(BENCH_PYPERF)"
	$(PY313_RUN) $(PY313_VENV)/bin/python bench/run.py $(BENCH_ARGS)

# The x86-64 wheels, cp311 from the host and cp313 from the root, into dist/
# (the armhf cp311 wheel: make armhf). The cp313 module, built in trixie,
# links to the C library only and needs nothing newer than glibc 2.14 from it.
wheels: install py313-install
	rm -f dist/norv-*-cp311-cp311-linux_x86_64.whl dist/norv-*-cp313-cp313-linux_x86_64.whl
	$(PIP) wheel . --no-deps --disable-pip-version-check --quiet --wheel-dir dist
	$(PY313_RUN) $(PY313_VENV)/bin/python -m pip wheel . --no-deps --disable-pip-version-check --quiet \
	    --wheel-dir dist
	ls dist/norv-*-cp311-cp311-linux_x86_64.whl dist/norv-*-cp313-cp313-linux_x86_64.whl

clean-py313:
	rm -rf $(PY313_VENV) build/cp313-*
	bash tools/py313/unmount.sh $(PY313_ROOT)
	rm -rf --one-file-system $(PY313_ROOT) $(PY313_ROOT).tmp
