# molvenar: set-up, build, tests and the demo, from a fresh machine.
#   make         lists these targets and runs nothing
#   make demo    set up, build, compute the four indicators on the shipped prices
#   make test    set up, build and run every test stage (TEST_STAGES below)
#   make quick   one environment (CPython 3.12 or newer, NumPy 2), Python tests only
#   make bench   molvenar against its chain floor and peer libraries
#   make kernel-bench   the C++ kernels against their chain floors, every instruction-set path
#   make bench-universe   thread scaling over a universe of instruments
# PYTHON=/path/to/python sets the interpreter of `quick`, `demo`, `bench` and
# the single-interpreter stages; PYTHON312 / PYTHON313 those of the test matrix.
# Environments are reused: made again only for another interpreter, packages
# installed only when missing, the module rebuilt only when its sources changed.
# Everything built goes to build/ and the venvs to .venv/, .venv-quick/ and
# .venv-bench/ (all ignored by git); the i386 root to .i386-root/.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.ONESHELL:
.PHONY: help demo test quick bench kernel-bench bench-universe quick-env python-matrix kernel-tests clang types examples sanitizers i386 makefile-tests wheels wheel-tests clean

FIND_PYTHON := scripts/find_python.sh
SETUP_ENV := scripts/setup_env.sh
PYTEST_ARGS ?= tests/python
PYTEST := -m pytest -q -p no:cacheprovider
VENVS := .venv
QUICK_VENV := .venv-quick
# Extra PyPI packages of the quick environment (demo adds matplotlib).
QUICK_PACKAGES := numpy>=2

# The stages of `make test`, in order; each is a target below. A new stage is
# a target appended here.
TEST_STAGES := makefile-tests kernel-tests python-matrix clang types examples sanitizers i386 wheel-tests

# The default goal: one line per target, nothing built or installed.
help:
	@printf '%s\n' \
	  'make demo            set up, build and compute the four indicators on the shipped prices, with a chart' \
	  'make quick           the Python tests in one environment (PYTEST_ARGS=... runs a subset)' \
	  'make test            every test stage: $(TEST_STAGES)' \
	  'make bench           molvenar against its chain floor and peer libraries (BENCH_ARGS=...)' \
	  'make kernel-bench    the C++ kernels against their chain floors, every instruction-set path' \
	  'make bench-universe  thread scaling over a universe of instruments' \
	  'make wheels          the manylinux wheels for CPython 3.12 to 3.15 and the sdist, into dist/' \
	  'make clean           remove build/ and the virtual environments'

test:
	@scripts/run_stages.sh $(TEST_STAGES)

demo: QUICK_PACKAGES += matplotlib>=3.8
demo: quick-env
	@$(QUICK_VENV)/bin/python examples/demo.py

quick: quick-env
	@$(QUICK_VENV)/bin/python $(PYTEST) $(PYTEST_ARGS)

# The benchmark runs in its own venv with the peer libraries it compares
# against; none of them is a dependency of molvenar. BENCH_ARGS is passed on
# (for example BENCH_ARGS='--rounds 5 --sizes 4,6').
bench:
	@scripts/ensure_build_tools.sh bench
	$(SETUP_ENV) .venv-bench "$$($(FIND_PYTHON))" 'numpy>=2'
	scripts/install_bench_peers.sh .venv-bench
	.venv-bench/bin/python bench/bench_indicators.py $(BENCH_ARGS)

bench-universe: quick-env
	@$(QUICK_VENV)/bin/python bench/bench_universe.py

# The one environment of quick, demo and bench. Cheap when nothing changed.
# A missing compiler or CMake is installed first (as root) or named.
quick-env:
	@scripts/ensure_build_tools.sh "$(or $(firstword $(MAKECMDGOALS)),quick-env)"
	$(SETUP_ENV) $(QUICK_VENV) "$$($(FIND_PYTHON))" $(foreach p,$(QUICK_PACKAGES),'$(p)')

# The Python tests against the gcc build under CPython 3.12 + NumPy 1.26 and
# CPython 3.13 + NumPy 2; CPython 3.12 + NumPy 2 runs in wheel-tests.
python-matrix:
	@$(SETUP_ENV) $(VENVS)/py312-numpy126 "$$(PYTHON="$${PYTHON312:-}" $(FIND_PYTHON) 3.12)" 'numpy==1.26.*'
	$(SETUP_ENV) $(VENVS)/py313-numpy2 "$$(PYTHON="$${PYTHON313:-}" $(FIND_PYTHON) 3.13)" 'numpy>=2'
	status=0
	for env in py312-numpy126 py313-numpy2; do
	  echo "=== $$env: $$($(VENVS)/$$env/bin/python -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')"
	  $(VENVS)/$$env/bin/python $(PYTEST) $(PYTEST_ARGS) || status=1
	done
	exit $$status

# The Python tests against a build with AddressSanitizer and every
# UndefinedBehaviorSanitizer check; any report fails the stage.
sanitizers:
	@scripts/run_sanitized.sh $(VENVS)/sanitizers "$$(PYTHON="$${PYTHON312:-}" $(FIND_PYTHON) 3.12)" $(PYTEST_ARGS)

# The kernel tests, built three times: portable, -march=native (which must
# give the same bits) and portable with the lane engine capped to SSE2
# (MOLVENAR_SIMD=sse2). CMake rebuilds only what changed.
kernel-tests:
	@scripts/ensure_gtest.sh
	for variant in portable native sse2; do
	  native=$$([ $$variant = native ] && echo ON || echo OFF)
	  simd=$$([ $$variant = sse2 ] && echo sse2 || echo)
	  echo "==> kernel tests ($$variant): CMake build in build/kernels-$$variant (compiles what changed)"
	  cmake -S . -B build/kernels-$$variant -DMOLVENAR_BUILD_MODULE=OFF -DMOLVENAR_BUILD_TESTS=ON \
	        -DMOLVENAR_MARCH_NATIVE=$$native -DMOLVENAR_SIMD=$$simd > /dev/null
	  cmake --build build/kernels-$$variant -j2 > /dev/null
	  echo "=== kernel tests ($$variant)"
	  ctest --test-dir build/kernels-$$variant --output-on-failure
	done

# The kernel tests and the module built with clang in one CMake build; the
# kernel tests and the Python tests run against that build.
clang:
	@scripts/ensure_debian_packages.sh clang libgtest-dev cmake
	$(SETUP_ENV) --without-module $(VENVS)/clang "$$($(FIND_PYTHON))" 'numpy>=2'
	echo "==> kernel tests and module with clang: CMake build in build/clang (compiles what changed)"
	cmake -S . -B build/clang -DCMAKE_CXX_COMPILER=clang++ -DMOLVENAR_BUILD_TESTS=ON \
	      -DPython_EXECUTABLE=$(CURDIR)/$(VENVS)/clang/bin/python > /dev/null
	cmake --build build/clang -j2 > /dev/null
	module=build/clang/molvenar$$($(VENVS)/clang/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
	readelf -p .comment "$$module" | grep -q clang || { echo "error: $$module was not built by clang" >&2; exit 1; }
	echo "=== kernel tests (clang)"
	ctest --test-dir build/clang --output-on-failure
	echo "=== Python tests against $$module"
	PYTHONPATH=build/clang $(VENVS)/clang/bin/python $(PYTEST) $(PYTEST_ARGS)

# The shipped type stubs: mypy --strict and pyright over user scripts, stubtest.
# mypy before 2.0: later releases depend on ast-serialize, a Rust-built
# extension, and the project keeps Rust-built packages out of its environments.
types:
	@$(SETUP_ENV) $(VENVS)/types "$$($(FIND_PYTHON))" 'numpy>=2' 'mypy>=1.11,<2' 'basedpyright>=1.20'
	$(VENVS)/types/bin/python $(PYTEST) tests/typing

# The examples with their optional dependencies: the universe example on
# threads and a Dask LocalCluster, the agreement figures against TA-Lib,
# bottleneck and pandas, the sample CSV.
examples:
	@$(SETUP_ENV) $(VENVS)/examples "$$($(FIND_PYTHON))" 'numpy>=2' 'pandas>=2.2' 'bottleneck>=1.4' \
	    'ta-lib>=0.6' 'dask>=2024.8' 'distributed>=2024.8'
	$(VENVS)/examples/bin/python $(PYTEST) tests/examples

# The 32-bit x86 stage: the module built and tested in a Debian i386 root
# (made on first use in .i386-root/; needs root and Debian's mirror), and its
# output bits compared with the x86_64 build's.
i386: quick-env
	@scripts/i386_stage.sh $(QUICK_VENV)/bin/python

# The Makefile itself: a bare `make` prints the targets and runs nothing.
makefile-tests:
	@tests/make/test_bare_make.sh

# The wheels users install, for CPython 3.12 to 3.15, each checked, and the
# sdist, into dist/ (scripts/build_wheels.sh; 3.14 and 3.15 from a Debian sid
# root made on first use in build/sid-root).
wheels:
	@scripts/build_wheels.sh

# Each wheel installed in a fresh venv of its interpreter, 3.14 and 3.15 also
# debug builds: the Python tests, and output bits equal to the gcc build's.
wheel-tests: quick-env
	@scripts/wheels_stage.sh $(QUICK_VENV)/bin/python

# The C++ kernels alone against their chain floors (bench/kernel_bench.cpp).
kernel-bench:
	@scripts/ensure_gtest.sh
	cmake -S . -B build/kernels-portable -DMOLVENAR_BUILD_MODULE=OFF -DMOLVENAR_BUILD_TESTS=ON \
	      -DMOLVENAR_MARCH_NATIVE=OFF > /dev/null
	cmake --build build/kernels-portable -j2 --target molvenar_kernel_bench > /dev/null
	build/kernels-portable/bench/molvenar_kernel_bench --all-paths

clean:
	rm -rf build dist $(VENVS) $(QUICK_VENV) .venv-bench
