# molvenar: set-up, build, tests and the demo, from a fresh machine.
#   make demo    set up, build, compute the four indicators on the shipped prices
#   make test    set up, build and run every test: the Python matrix and the C++ kernel tests
#   make quick   one environment (CPython 3.12 or newer, NumPy 2), Python tests only
#   make bench   benchmarks of the four callables (ns per element)
# PYTHON=/path/to/python overrides the interpreter of `quick`, `demo` and `bench`;
# PYTHON312 / PYTHON313 override those of the test matrix.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.ONESHELL:
.PHONY: demo test quick bench python-matrix kernel-tests clean

FIND_PYTHON := scripts/find_python.sh
PYTEST_ARGS ?= tests/python
VENVS := .venv

demo: .venv-quick/.installed
	@.venv-quick/bin/pip install --quiet 'matplotlib>=3.8'
	.venv-quick/bin/python examples/demo.py

# The stages of `make test`, in order; each is a target below.
TEST_STAGES := kernel-tests python-matrix sanitizers

test:
	@scripts/run_stages.sh $(TEST_STAGES)

quick: .venv-quick/.installed
	@.venv-quick/bin/python -m pytest -q $(PYTEST_ARGS)

bench: .venv-quick/.installed
	@.venv-quick/bin/python bench/bench_indicators.py

# A venv holding the installed module; rebuilt on every run so that the
# module always matches the sources.
.venv-quick/.installed: FORCE
	@scripts/setup_env.sh .venv-quick "$$($(FIND_PYTHON))" 'numpy>=2'
	touch $@

python-matrix:
	@scripts/setup_env.sh $(VENVS)/py312-numpy2 "$$(PYTHON="$${PYTHON312:-}" $(FIND_PYTHON) 3.12)" 'numpy>=2'
	scripts/setup_env.sh $(VENVS)/py312-numpy126 "$$(PYTHON="$${PYTHON312:-}" $(FIND_PYTHON) 3.12)" 'numpy==1.26.*'
	scripts/setup_env.sh $(VENVS)/py313-numpy2 "$$(PYTHON="$${PYTHON313:-}" $(FIND_PYTHON) 3.13)" 'numpy>=2'
	status=0
	for env in py312-numpy2 py312-numpy126 py313-numpy2; do
	  echo "=== $$env: $$($(VENVS)/$$env/bin/python -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')"
	  $(VENVS)/$$env/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) || status=1
	done
	exit $$status

# The Python tests against a build with AddressSanitizer and every
# UndefinedBehaviorSanitizer check; any report fails the stage.
.PHONY: sanitizers
sanitizers:
	@scripts/run_sanitized.sh $(VENVS)/sanitizers "$$(PYTHON="$${PYTHON312:-}" $(FIND_PYTHON) 3.12)" $(PYTEST_ARGS)

# The kernel tests, built twice: portable and -march=native, which must give
# the same bits.
kernel-tests:
	@scripts/ensure_gtest.sh
	for variant in portable native; do
	  native=$$([ $$variant = native ] && echo ON || echo OFF)
	  cmake -S . -B build/kernels-$$variant -DMOLVENAR_BUILD_MODULE=OFF -DMOLVENAR_BUILD_TESTS=ON \
	        -DMOLVENAR_MARCH_NATIVE=$$native > /dev/null
	  cmake --build build/kernels-$$variant -j2 > /dev/null
	  echo "=== kernel tests ($$variant)"
	  ctest --test-dir build/kernels-$$variant --output-on-failure
	done

clean:
	rm -rf build .venv .venv-quick

FORCE:
