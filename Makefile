# corlap: `make demo` runs the worked example, `make test` the test suite,
# `make bench` the benchmarks.  Each target sets up .venv by itself.

# Python 3.13: on PATH, or under pyenv when it is not the selected version.
PYTHON ?= $(shell for p in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3.13 \
	/root/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do \
	if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then \
	echo "$$p"; break; fi; done)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
DEPS := "numpy>=2" "meson-python>=0.15" "meson>=1.2" ninja pytest hypothesis \
	"pysam>=0.22" matplotlib mypy build

.PHONY: demo test bench install test-asan wheel-test clean

$(PY):
	@test -n "$(PYTHON)" || { echo "Python 3.13 not found: set PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: $(PY) Makefile
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(DEPS)
	touch $@

# Builds and installs the package into .venv (not editable: tests run
# against what users get).
install: $(VENV)/.deps
	$(PIP) install -q --no-build-isolation --no-deps .

demo: install
	$(PY) examples/lambda_phage_bias.py

test: install
	$(PY) -m pytest -q tests

bench: install
	@for script in benchmarks/bench_*.py; do \
		echo "== $$script"; $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV) dist
