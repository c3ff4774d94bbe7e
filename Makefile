# The few verbs a newcomer needs. Each one sets up what it uses: a virtual
# environment with a CPython 3.13 interpreter, the package built from this
# checkout, and the test dependencies.
#
#   make demo       build, install and run the demo on generated data
#   make test       build, install and run the whole test suite (what CI runs)
#   make bench      the benchmark against the plain NumPy/SciPy way
#   make sanitize   the test suite against an AddressSanitizer/UBSan build

PYTHON ?= $(shell scripts/find-python)
VENV ?= .venv
SAN_VENV ?= .venv-sanitize
PIP_FLAGS ?= --quiet --disable-pip-version-check

SOURCES = $(wildcard src/*.cpp src/*.hpp src/*/*.cpp src/*/*.hpp src/*/*.inc)

.PHONY: demo test bench sanitize venv install format format-check native-test

venv: $(VENV)/bin/python

$(VENV)/bin/python:
	@test -n "$(PYTHON)" || { echo "no CPython 3.13 interpreter found" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip

# Always rebuilds, so that what runs is what the checkout says.
install: venv
	$(VENV)/bin/pip install $(PIP_FLAGS) ".[test]"

demo: install
	$(VENV)/bin/python -m brenix_kernels.demo

# The normal suite first, then the C++ test programs (among them the check of
# the vector expm1f on all 2^32 inputs) on the normal and the portable-only
# build, then the suite against a sanitizer build.
test: install format-check
	$(VENV)/bin/python -m pytest -q -p no:cacheprovider
	$(MAKE) native-test
	$(MAKE) native-test NATIVE_DIR=build/native-portable NATIVE_FLAGS=-DBRENIX_PORTABLE_ONLY=ON
	$(MAKE) sanitize

# The whole suite against an AddressSanitizer/UBSan build of the extension, in
# a venv of its own and a build directory of its own (so the normal build is
# neither reused nor overwritten). The interpreter is not instrumented, so the
# ASan runtime is preloaded, and libstdc++ with it: ASan can only intercept C++
# throws if libstdc++ is there when it starts, not when the extension loads it
# later (the UBSan runtime comes in as a dependency of the extension). Leak
# reports are off because CPython itself leaks at exit (tests/test_leaks.py
# measures leaks instead); failed allocations return null, so that huge requests
# still become MemoryError; pymalloc is bypassed so that misuse of Python
# objects reaches ASan. Any finding aborts the run with a non-zero status.
SAN_ENV = LD_PRELOAD="$(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:detect_stack_use_after_return=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc BRENIX_UNDER_SANITIZER=1

$(SAN_VENV)/bin/python:
	@test -n "$(PYTHON)" || { echo "no CPython 3.13 interpreter found" >&2; exit 1; }
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_VENV)/bin/pip install $(PIP_FLAGS) --upgrade pip

sanitize: $(SAN_VENV)/bin/python
	BRENIX_SANITIZE=ON SKBUILD_BUILD_DIR=build/sanitize \
		$(SAN_VENV)/bin/pip install $(PIP_FLAGS) --no-cache-dir ".[test]"
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# The C++ test programs (no Python), built with CMake directly in a build
# directory of their own. NATIVE_FLAGS adds CMake options (a compiler, a
# sanitizer); NATIVE_DIR keeps each variant's build apart.
NATIVE_DIR ?= build/native
NATIVE_FLAGS ?=
native-test: venv
	$(VENV)/bin/pip install $(PIP_FLAGS) cmake ninja numpy
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(NATIVE_DIR) -G Ninja -DBRENIX_DEV=ON \
		-DBRENIX_NATIVE_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python $(NATIVE_FLAGS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(NATIVE_DIR)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir $(NATIVE_DIR) --output-on-failure

bench: install
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)

# clang-format comes with the test dependencies.
format: install
	$(VENV)/bin/clang-format -i $(SOURCES)

format-check: install
	$(VENV)/bin/clang-format --dry-run --Werror $(SOURCES)
