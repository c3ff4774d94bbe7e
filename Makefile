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

.PHONY: demo test bench sanitize venv install format

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

test: install
	$(VENV)/bin/python -m pytest -q -p no:cacheprovider

bench: install
	$(VENV)/bin/python benchmarks/bench.py $(BENCH_ARGS)

format:
	clang-format -i src/*.cpp src/*.hpp src/*/*.cpp src/*/*.hpp
