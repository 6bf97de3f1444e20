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

.PHONY: demo test bench wheel clean

demo: $(VENV)/.built
	$(RUN) -m korvane.offload

test: $(VENV)/.built
	$(RUN) -m pytest

bench: $(VENV)/.built
	$(RUN) bench/bench_pool.py

wheel: $(VENV)/.requirements
	$(BIN)/pip wheel --no-build-isolation --no-deps -w dist .

$(VENV)/.requirements: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(BIN)/pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.requirements $(PACKAGE_SOURCES)
	$(BIN)/pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf $(VENV) build dist
