# Two commands for a fresh machine: `make demo` and `make test`. Each one creates the virtual
# environment in .venv, installs the pinned development requirements and builds the extension
# when the sources changed, then runs its job.

PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# -I keeps the source tree's korvane/ (which holds no built module) off sys.path.
RUN := $(BIN)/python -I

PACKAGE_SOURCES := CMakeLists.txt pyproject.toml $(wildcard src/*) \
	$(shell find korvane -type f -not -path '*/__pycache__/*')

.PHONY: demo test bench sanitize wheel clean

demo: $(VENV)/.built
	$(RUN) -m korvane.offload

test: $(VENV)/.built
	$(RUN) -m pytest

bench: $(VENV)/.built
	$(RUN) bench/bench_pool.py

# The test suite against a copy of the package whose extension is built with AddressSanitizer
# and UndefinedBehaviorSanitizer. The interpreter is not instrumented: its runtime is preloaded,
# objects are allocated with malloc so that the sanitizer sees each one, and leak detection is
# off (the interpreter never frees some of its memory). Capture stays at the Python level, so
# that a sanitizer report written to the process's stderr reaches the terminal.
SANITIZE_BUILD := build/sanitize
SANITIZE_SITE := $(SANITIZE_BUILD)/site

sanitize: $(VENV)/.built
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKBUILD_PROJECT_NAME=korvane_offload \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DKORVANE_SANITIZE=ON -DKORVANE_WARNINGS_AS_ERRORS=ON
	cmake --build $(SANITIZE_BUILD) --parallel
	rm -rf $(SANITIZE_SITE) && mkdir -p $(SANITIZE_SITE) && cp -r korvane $(SANITIZE_SITE)/
	cmake --install $(SANITIZE_BUILD) --prefix $(SANITIZE_SITE)
	LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(BIN)/python -m pytest --capture=sys -p no:cacheprovider -o pythonpath=$(SANITIZE_SITE)

# A wheel for PyPI, built with .venv's interpreter: auditwheel tags it manylinux by the newest
# glibc and libstdc++ symbol versions the extension uses. The extension needs only the C and C++
# runtimes that every manylinux system has, so a library copied into the wheel (torch's above
# all) is an error.
WHEEL_BUILD := build/wheel

wheel: $(VENV)/.requirements
	rm -rf $(WHEEL_BUILD) dist/korvane_offload-*.whl
	$(BIN)/pip wheel --no-build-isolation --no-deps -w $(WHEEL_BUILD) .
	PATH=$(abspath $(BIN)):$$PATH auditwheel repair --wheel-dir dist $(WHEEL_BUILD)/korvane_offload-*.whl
	@if $(BIN)/python -m zipfile -l dist/korvane_offload-*.whl | grep '\.libs/'; then \
		echo "auditwheel copied the libraries above into the wheel"; exit 1; \
	fi

$(VENV)/.requirements: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.requirements $(PACKAGE_SOURCES)
	$(BIN)/pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
		--config-settings=cmake.define.KORVANE_WARNINGS_AS_ERRORS=ON .
	touch $@

clean:
	rm -rf $(VENV) build dist
