# Benchmarks: `make bench` installs the package and pyperf into the venv, runs
# the whole suite (bench/run.py) and writes bench/results/: the JSON of each
# step and results.md, the table of ratios. Ten to fifteen minutes on two cores.
# `make bench-quick` runs every step briefly, to try the suite out.

# The same requirement as pyproject's `bench` extra, installed on its own so
# that the package is not built a second time.
BENCH_PYPERF := pyperf>=2.6

.PHONY: bench-quick

bench: install
	$(PIP) install --quiet "$(BENCH_PYPERF)"
	$(VPY) bench/run.py

bench-quick: install
	$(PIP) install --quiet "$(BENCH_PYPERF)"
	$(VPY) bench/run.py --quick
