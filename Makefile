# Set-up, build and test commands. `make demo` and `make test` work on a
# fresh machine: they install what they need first.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NATIVE_BUILD := build/native
DEV_BUILD := build/dev
BENCH_BUILD := build/bench
JOBS ?= $(shell nproc)

.PHONY: all demo test test-native test-python install venv system-deps dev bench bench-deps clean

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

# Benchmark-only libraries: Google Benchmark and the comparison libraries.
# The benchmark builds without them (plain harness, comparison rows left
# out), so a failed install only warns.
BENCH_PACKAGES := libbenchmark-dev rapidjson-dev libsimdjson-dev
bench-deps:
	@missing=""; for p in $(BENCH_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  { $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; } \
	    || echo "bench: could not install$$missing; building without them"; \
	fi

# Optimised build of the module and the C++ benchmark, then one table.
bench: $(VPY) bench-deps
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DVORDA_BENCH=ON -DVORDA_MODULE=ON -DVORDA_TESTS=OFF -DVORDA_INPLACE=OFF >/dev/null
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake --build $(BENCH_BUILD) -j $(JOBS)
	rm -rf $(BENCH_BUILD)/python && mkdir -p $(BENCH_BUILD)/python/vorda
	cp src/vorda/*.py src/vorda/py.typed $(BENCH_BUILD)/python/vorda/
	cp $(BENCH_BUILD)/_vorda*.so $(BENCH_BUILD)/python/vorda/
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD)/python $(VPY) bench/run_bench.py --cpp $(BENCH_BUILD)/bench/vorda_json_bench $(BENCH_ARGS)

clean:
	rm -rf build src/vorda/_vorda*.so
