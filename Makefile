# Two commands for a fresh machine: `make demo` and `make test`. Each one creates the virtual
# environment in .venv, installs the pinned development requirements and builds the extension
# when the sources changed, then runs its job.

PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
# The build also puts the extension into korvane/offload/, so that a command run from this
# directory, whose korvane/ comes first on sys.path, finds it there.
RUN := $(BIN)/python
PIP := $(BIN)/pip --quiet --disable-pip-version-check
# torch as requirements-dev.txt pins it, or `stand-in` for the one in tests/ (see test-versions).
TORCH := pinned

PACKAGE_SOURCES := CMakeLists.txt pyproject.toml $(wildcard src/*) \
	$(shell find korvane -type f -not -path '*/__pycache__/*' -not -name '*.so')
EXTENSION_PATH := import importlib.util; \
	print(importlib.util.find_spec("korvane.offload.pinned_pool").origin)

# A PYTHON named on the command line or in the environment replaces a $(VENV) made from another
# interpreter; without one, $(VENV) keeps the interpreter it was made from.
INTERPRETER := import sys; print(sys.base_prefix, sys.hexversion, sys.abiflags)
ifneq ($(origin PYTHON),file)
NAMED_PYTHON = $(shell $(PYTHON) -c '$(INTERPRETER)' 2>/dev/null)
VENV_PYTHON = $(shell $(BIN)/python -c '$(INTERPRETER)' 2>/dev/null)
ifneq ($(NAMED_PYTHON),$(VENV_PYTHON))
.PHONY: $(VENV)/.requirements
MAKE_VENV := $(PYTHON) -m venv --clear $(VENV)
endif
endif
MAKE_VENV ?= [ -x $(BIN)/python ] || $(PYTHON) -m venv $(VENV)

.PHONY: demo test test-versions bench bench-staging gpu-check sanitize wheel wheels clean

demo: $(VENV)/.built
	$(RUN) -m korvane.offload

test: $(VENV)/.built
	$(RUN) -m pytest

# The suite on every CPython from 3.10 to 3.13 that this machine has, found through pyenv or on
# PATH; one it lacks is reported and skipped. Each gets an environment under build/versions/ with
# the stand-in for torch in tests/stand_in_torch, since torch 2.13.0 from PyPI is a CUDA build of
# several GB; the tests that need the real torch report themselves skipped (`make test` runs them).
VERSIONS := 3.10 3.11 3.12 3.13

# Each CPython of $(VERSIONS) that this machine has, as $$python, in a loop over $$version.
EACH_PYTHON = for version in $(VERSIONS); do \
		python=$$(pyenv prefix $$version 2>/dev/null)/bin/python$$version; \
		[ -x "$$python" ] || python=$$(command -v python$$version) || true; \
		if ! "$$python" -c '' 2>/dev/null; then \
			echo "CPython $$version: not on this machine, skipped"; continue; \
		fi;

test-versions:
	@$(EACH_PYTHON) \
		echo "CPython $$version: $$python, torch stand-in"; \
		$(MAKE) --no-print-directory test PYTHON=$$python VENV=build/versions/$$version \
			TORCH=stand-in || exit; \
	done

bench: $(VENV)/.built
	$(RUN) bench/bench_pool.py

bench-staging: $(VENV)/.built
	$(RUN) bench/bench_staging.py

# On a machine with a CUDA device, in at most 8 minutes: the suite's CUDA tests under the stream
# sanitizer, copy bandwidth, staging and an offloaded forward, checked; one table. Exits 3 without
# CUDA.
gpu-check: $(VENV)/.built
	timeout 480 $(RUN) bench/gpu_check.py

# The test suite against a copy of the package whose extension is built with AddressSanitizer
# and UndefinedBehaviorSanitizer. The interpreter is not instrumented: its runtime is preloaded,
# with libstdc++ beside it so that it finds the C++ runtime's throw for exceptions raised inside
# torch (the interpreter does not link libstdc++ itself); objects are allocated with malloc so
# that the sanitizer sees each one, and leak detection is off (the interpreter never frees some
# of its memory). Capture stays at the Python level, so that a sanitizer report written to the
# process's stderr reaches the terminal.
SANITIZE_BUILD := build/sanitize
SANITIZE_SITE := $(SANITIZE_BUILD)/site

sanitize: $(VENV)/.built
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKBUILD_PROJECT_NAME=korvane_offload \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) -DKORVANE_SANITIZE=ON -DKORVANE_WARNINGS_AS_ERRORS=ON
	cmake --build $(SANITIZE_BUILD) --parallel
	rm -rf $(SANITIZE_SITE) && mkdir -p $(SANITIZE_SITE) && cp -r korvane $(SANITIZE_SITE)/
	rm -f $(SANITIZE_SITE)/korvane/offload/*.so
	cmake --install $(SANITIZE_BUILD) --prefix $(SANITIZE_SITE)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(BIN)/python -m pytest --capture=sys -p no:cacheprovider -o pythonpath=$(SANITIZE_SITE)

# A wheel for PyPI, built with $(VENV)'s interpreter: auditwheel tags it manylinux by the newest
# glibc and libstdc++ symbol versions the extension uses. The extension needs only the C and C++
# runtimes that every manylinux system has, so a library copied into the wheel (torch's above
# all) is an error, and so is any extension module but the one built for this interpreter. The
# wheel is then installed into a fresh environment (with torch as requirements-dev.txt pins it,
# or with the stand-in) and the pool is imported and used there, away from the source tree.
WHEEL_BUILD := build/wheel
WHEEL_CHECK := build/wheel-check
TAG = $(shell $(BIN)/python -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
USE_WHEEL := import korvane.offload.pinned_pool as m; \
	from korvane.offload import PinnedMemoryPool, __version__; \
	pool = PinnedMemoryPool(1 << 20); buf = pool.lease(100); pool.release(buf); \
	assert pool.lease(1) is buf and buf.numel() == 1 << 20; \
	print("korvane-offload", __version__, "works from", m.__file__)

wheel: $(VENV)/.requirements
	rm -rf $(WHEEL_BUILD)/$(TAG) $(WHEEL_CHECK)/$(TAG) dist/korvane_offload-*-$(TAG)-*.whl
	$(BIN)/pip wheel --no-build-isolation --no-deps -w $(WHEEL_BUILD)/$(TAG) .
	PATH=$(abspath $(BIN)):$$PATH \
		auditwheel repair --wheel-dir dist $(WHEEL_BUILD)/$(TAG)/korvane_offload-*.whl
	@if $(BIN)/python -m zipfile -l dist/korvane_offload-*-$(TAG)-*.whl | grep '\.libs/'; then \
		echo "auditwheel copied the libraries above into the wheel"; exit 1; \
	fi
	@if [ $$($(BIN)/python -m zipfile -l dist/korvane_offload-*-$(TAG)-*.whl | \
			grep -c '\.so ') != 1 ]; then \
		echo "the wheel should hold exactly one extension module"; exit 1; \
	fi
	$(BIN)/python -m venv $(WHEEL_CHECK)/$(TAG)
ifeq ($(TORCH),stand-in)
	$(WHEEL_CHECK)/$(TAG)/bin/pip install --quiet --no-deps psutil dist/korvane_offload-*-$(TAG)-*.whl
	$(call STAND_IN,$(WHEEL_CHECK)/$(TAG)/bin)
else
	$(WHEEL_CHECK)/$(TAG)/bin/pip install --quiet $$(grep '^torch==' requirements-dev.txt) \
		dist/korvane_offload-*-$(TAG)-*.whl
endif
	cd $(WHEEL_CHECK) && $(TAG)/bin/python -I -c '$(USE_WHEEL)'

# make wheel for $(VENV)'s interpreter, then for every other CPython of $(VERSIONS) that this
# machine has, each with the stand-in for torch in the environment test-versions makes for it.
wheels: wheel
	@own=$$($(BIN)/python -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	$(EACH_PYTHON) \
		[ $$version = $$own ] && continue; \
		echo "CPython $$version: $$python"; \
		$(MAKE) --no-print-directory wheel PYTHON=$$python VENV=build/versions/$$version \
			TORCH=stand-in || exit; \
	done
	@ls dist/korvane_offload-*.whl

# Points an environment's site-packages, given its bin/, at the stand-in for torch.
STAND_IN = echo $(abspath tests/stand_in_torch) > \
	$$($(1)/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/stand_in_torch.pth

$(VENV)/.requirements: requirements-dev.txt
	$(MAKE_VENV)
ifeq ($(TORCH),stand-in)
	grep -v '^torch==' requirements-dev.txt > $(VENV)/requirements.txt
	$(PIP) install -r $(VENV)/requirements.txt
	$(call STAND_IN,$(BIN))
else
	$(PIP) install -r requirements-dev.txt
endif
	touch $@

$(VENV)/.built: $(VENV)/.requirements $(PACKAGE_SOURCES)
	$(PIP) install --no-build-isolation --no-deps \
		--config-settings=cmake.define.KORVANE_WARNINGS_AS_ERRORS=ON .
	cp "$$(cd / && $(abspath $(BIN))/python -I -c '$(EXTENSION_PATH)')" korvane/offload/
	touch $@

clean:
	rm -rf $(VENV) build dist korvane/offload/*.so
