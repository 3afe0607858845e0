# molvenar: set-up, build, tests and the demo, from a fresh machine.
#   make demo    set up, build, compute the four indicators on the shipped prices
#   make test    set up, build and run every test: the Python matrix and the C++ kernel tests
#   make quick   one environment (CPython 3.12 or newer, NumPy 2), Python tests only
#   make bench   molvenar against its chain floor and peer libraries
#   make kernel-bench   the C++ kernels against their chain floors, every instruction-set path
# PYTHON=/path/to/python overrides the interpreter of `quick`, `demo` and `bench`;
# PYTHON312 / PYTHON313 override those of the test matrix.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.ONESHELL:
.PHONY: demo test quick bench kernel-bench python-matrix kernel-tests i386 clean

FIND_PYTHON := scripts/find_python.sh
PYTEST_ARGS ?= tests/python
VENVS := .venv

demo: .venv-quick/.installed
	@.venv-quick/bin/pip install --quiet 'matplotlib>=3.8'
	.venv-quick/bin/python examples/demo.py

# The stages of `make test`, in order; each is a target below.
TEST_STAGES := kernel-tests python-matrix i386

test:
	@scripts/run_stages.sh $(TEST_STAGES)

quick: .venv-quick/.installed
	@.venv-quick/bin/python -m pytest -q $(PYTEST_ARGS)

# The benchmark runs in its own venv with the peer libraries it compares
# against; none of them is a dependency of molvenar. BENCH_ARGS is passed on
# (for example BENCH_ARGS='--rounds 5 --sizes 4,6').
bench:
	@scripts/setup_env.sh .venv-bench "$$($(FIND_PYTHON))" 'numpy>=2'
	scripts/install_bench_peers.sh .venv-bench
	.venv-bench/bin/python bench/bench_indicators.py $(BENCH_ARGS)

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

# The 32-bit x86 stage: the module built and tested in a Debian i386 root
# (made on first use in .i386-root/; needs root and Debian's mirror), and its
# output bits compared with the x86_64 build's.
i386: .venv-quick/.installed
	@scripts/i386_stage.sh .venv-quick/bin/python

# The C++ kernels alone against their chain floors (bench/kernel_bench.cpp).
kernel-bench:
	@scripts/ensure_gtest.sh
	cmake -S . -B build/kernels-portable -DMOLVENAR_BUILD_MODULE=OFF -DMOLVENAR_BUILD_TESTS=ON \
	      -DMOLVENAR_MARCH_NATIVE=OFF > /dev/null
	cmake --build build/kernels-portable -j2 --target molvenar_kernel_bench > /dev/null
	build/kernels-portable/bench/molvenar_kernel_bench --all-paths

clean:
	rm -rf build .venv .venv-quick .venv-bench

FORCE:
