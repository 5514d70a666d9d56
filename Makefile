# Set-up, build and test commands. `make demo` and `make test` work on a
# fresh machine: they install what they need first.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NATIVE_BUILD := build/native
DEV_BUILD := build/dev
JOBS ?= $(shell nproc)

.PHONY: all demo test test-native test-python install venv system-deps dev clean

all: test

# A virtual environment that sees the interpreter's own packages (the build
# tools already installed there) and adds whatever is missing.
$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

venv: $(VPY)
	$(VPY) -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja "pytest>=7" "hypothesis>=6"

# Debian packages the C++ tests need (GoogleTest).
system-deps:
	@if ! dpkg -s libgtest-dev >/dev/null 2>&1; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq libgtest-dev; \
	fi

install: venv
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation .

demo: install
	$(VPY) examples/run_pipeline.py --out build/demo

test-native: venv system-deps
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(NATIVE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORDA_MODULE=OFF -DVORDA_TESTS=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(NATIVE_BUILD) -j $(JOBS)
	cd $(NATIVE_BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: install
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

test: test-native test-python

# In-place build for development: PYTHONPATH=src python -m pytest tests
dev: venv
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORDA_INPLACE=ON -DVORDA_TESTS=ON >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(DEV_BUILD) -j $(JOBS)

clean:
	rm -rf build src/vorda/_vorda*.so
