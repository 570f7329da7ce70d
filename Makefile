# Set-up and the everyday jobs. Every target prepares what it needs on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
PYTEST_ARGS ?=

.PHONY: all install run test asan bench clean
all: test

$(PY):
	"$$(tools/find-python312)" -m venv $(VENV)
	$(PY) -m pip install --upgrade pip

# Always reinstalls: the build directory is kept, so an unchanged tree rebuilds in seconds.
install: $(PY)
	$(PY) -m pip install ".[test,examples]"

run: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

# The test suite against a build with AddressSanitizer and UBSan.
asan: $(PY)
	$(PY) -m pip install ".[test]" -Ccmake.define.VEXCAM_SANITIZE=ON -Cbuild-dir=build/asan
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(PY) -m pytest $(PYTEST_ARGS)
	$(PY) -m pip install ".[test]"

# Benchmarks side by side with the alternatives: prints the tables and writes
# build/bench/results.json. pybind11 2.13 is unpacked there for the older-generation peer.
# BENCH_ARGS=--quick for a smoke run.
BENCH_ARGS ?=
bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	[ -d build/bench/pybind11-2.13/pybind11/share/cmake ] || \
		$(PY) -m pip install -q --no-deps --target build/bench/pybind11-2.13 "pybind11==2.13.6"
	$(PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
