# Set-up, build and test commands. `make demo` and `make test` work on a
# fresh machine: they install what they need first.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
NATIVE_BUILD := build/native
DEV_BUILD := build/dev
BENCH_BUILD := build/bench
JOBS ?= $(shell nproc)

.PHONY: all demo test test-native test-python install venv system-deps browser-deps dev bench bench-deps clean sanitize \
  fuzz fuzz-deps lint lint-deps typecheck package-check

all: test

# A virtual environment that sees the interpreter's own packages (the build
# tools already installed there) and adds whatever is missing.
$(VPY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

# Build tools, then the test needs as the `test` extra lists them (read from
# pyproject.toml, so they are written once).
venv: $(VPY)
	$(VPY) -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" cmake ninja
	$(VPY) -m pip install -q --disable-pip-version-check $$($(VPY) tools/extra_requirements.py test)

# Debian packages the tests need: GoogleTest for the C++ tests, strace to
# count the flushes of the runner's workers.
SYSTEM_PACKAGES := libgtest-dev strace
system-deps:
	@missing=""; for p in $(SYSTEM_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; \
	fi

# Debian's Chromium and its driver, for the browser tests of `vorda ui`
# (tests/test_ui_browser.py, through Selenium from the test extra). Where
# they cannot be installed the browser tests skip, saying why; under CI=true
# a failed install fails here, and the tests would fail too.
BROWSER_PACKAGES := chromium chromium-driver
browser-deps:
	@missing=""; for p in $(BROWSER_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  { $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; } || { \
	    if [ "$$CI" = true ]; then echo "browser-deps: could not install$$missing"; exit 1; fi; \
	    echo "browser-deps: could not install$$missing; the browser tests will skip"; }; \
	fi

install: venv
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation .

# The example pipeline, twice into a fresh store: everything runs, then
# everything is up to date; then DuckDB reads the store's parquet files.
# Its table asset and the query need the `demo` extra (pyarrow, duckdb).
demo: install
	$(VPY) -m pip install -q --disable-pip-version-check $$($(VPY) tools/extra_requirements.py demo)
	rm -rf build/demo
	$(VENV)/bin/vorda run --path examples --store build/demo shop
	$(VENV)/bin/vorda run --path examples --store build/demo shop
	$(VPY) examples/query_store.py build/demo

# Each build below is a configure preset of CMakePresets.json, built in
# build/<preset>.
CMAKE := PATH=$(CURDIR)/$(VENV)/bin:$$PATH cmake

test-native: venv system-deps
	$(CMAKE) --preset native >/dev/null
	$(CMAKE) --build --preset native -j $(JOBS)
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH ctest --preset native -j $(JOBS)

test-python: install system-deps browser-deps
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

test: test-native test-python typecheck

# Typing: mypy --strict over what pyproject's [tool.mypy] names (the package,
# the runner, examples/ and the typing test in tests/typecheck/, whose
# `# type: ignore`s must stay needed), then stubtest: the stubs against the
# installed module. stubtest runs from tests/ so that it imports the installed
# package, not src/; `vorda` covers its submodules, `vorda._vorda` included.
# Its allowlist says why each entry is there.
typecheck: install
	$(VPY) -m mypy
	cd tests && ../$(VPY) -m mypy.stubtest --allowlist typecheck/stubtest-allowlist.txt vorda

# Packaging smoke test: build the sdist as a user's pip would, install it in
# a fresh virtual environment (nothing of the system's packages or this tree
# visible), then import, inspect and run one asset through the worker.
PKG_CHECK := build/package-check

package-check: venv
	$(VPY) -m pip install -q --disable-pip-version-check build
	rm -rf $(PKG_CHECK) && mkdir -p $(PKG_CHECK)
	$(VPY) -m build --sdist --outdir $(PKG_CHECK)/dist . >$(PKG_CHECK)/sdist.log 2>&1 || { cat $(PKG_CHECK)/sdist.log; exit 1; }
	$(PYTHON) -m venv $(PKG_CHECK)/venv
	$(PKG_CHECK)/venv/bin/python -m pip install -q --disable-pip-version-check $(PKG_CHECK)/dist/vorda-*.tar.gz
	$(PKG_CHECK)/venv/bin/python tools/package_smoke.py $(CURDIR)/$(PKG_CHECK)/venv/bin/python
	@echo "package-check: $$(ls $(PKG_CHECK)/dist) installs and runs"

# Development: an editable install (the Python files are used from src/, the
# module is built incrementally in $(DEV_BUILD)/editable: run `make dev` again
# after a C++ change), and the C++ tests in $(DEV_BUILD). Rebuilding on import
# is left off: it would run cmake in every process that imports vorda, the
# runner's workers included. `make test` installs the package normally again.
dev: venv system-deps
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  -Cbuild-dir=$(DEV_BUILD)/editable -e .
	$(CMAKE) --preset dev >/dev/null
	$(CMAKE) --build --preset dev -j $(JOBS)

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
	$(CMAKE) --preset bench >/dev/null
	$(CMAKE) --build --preset bench -j $(JOBS)
	rm -rf $(BENCH_BUILD)/python && mkdir -p $(BENCH_BUILD)/python/vorda
	cp src/vorda/*.py src/vorda/py.typed $(BENCH_BUILD)/python/vorda/
	cp -r src/vorda/run src/vorda/ui $(BENCH_BUILD)/python/vorda/
	cp $(BENCH_BUILD)/_vorda*.so $(BENCH_BUILD)/python/vorda/
	PYTHONPATH=$(CURDIR)/$(BENCH_BUILD)/python $(VPY) bench/run_bench.py --cpp $(BENCH_BUILD)/bench/vorda_json_bench $(BENCH_ARGS)

# The extension and the C++ tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then every C++ and Python test run under them.
# The module goes into its own package directory ($(SAN_PKG)), imported
# through PYTHONPATH, so the normal install in $(VENV) stays as it is. The
# interpreter is not instrumented: the ASan runtime is preloaded (with
# libstdc++, which ASan must see at start-up to intercept C++ throws, as the
# interpreter itself does not link it), and PYTHONMALLOC=malloc routes Python
# objects through ASan's allocator so that a use after a wrong Py_DECREF is
# caught. Leak checking stays on for the C++ tests; under the interpreter it
# would only report the interpreter's own allocations kept until exit.
# Any report fails the run: every sanitizer exits with status 97, which no
# test expects of a subprocess, and ASan also writes its reports to files in
# $(SAN_REPORTS) (from every process, subprocesses included), which are shown
# and fail the run even where a test only expected its subprocess to fail.
# UBSan, combined with ASan, prints to stderr only, so pytest leaves the
# stderr descriptor alone (--capture=sys) to let a report reach the log.
SAN_BUILD := build/sanitize
SAN_PKG := $(SAN_BUILD)/pkg
SAN_REPORTS := $(CURDIR)/$(SAN_BUILD)/reports
SANITIZERS ?= address,undefined
SAN_CXX ?= g++
SAN_COMMON := halt_on_error=1:print_stacktrace=1:exitcode=97
SAN_UBSAN := UBSAN_OPTIONS=$(SAN_COMMON):report_error_type=1
SAN_ASAN := $(SAN_COMMON):detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$(SAN_REPORTS)/asan
# The Python side's environment; subprocesses the tests start inherit it.
SAN_PY_ENV = LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS=$(SAN_ASAN):detect_leaks=0 $(SAN_UBSAN) PYTHONPATH=$(CURDIR)/$(SAN_PKG)
# Fails, showing them, if any process wrote a report; else keeps the status.
SAN_CHECK = status=$$?; if ls $(SAN_REPORTS)/* >/dev/null 2>&1; then cat $(SAN_REPORTS)/*; \
  echo "sanitize: reports above"; exit 1; fi; exit $$status

sanitize: venv system-deps browser-deps
	$(CMAKE) --preset sanitize -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DVORDA_SANITIZE=$(SANITIZERS) >/dev/null
	$(CMAKE) --build --preset sanitize -j $(JOBS)
	rm -rf $(SAN_REPORTS) $(SAN_PKG) && mkdir -p $(SAN_REPORTS) $(SAN_PKG)
	cd $(SAN_BUILD) && ASAN_OPTIONS=$(SAN_ASAN):detect_leaks=1 $(SAN_UBSAN) ctest --output-on-failure -j $(JOBS); \
	  $(SAN_CHECK)
	cp -r src/vorda $(SAN_PKG)/ && rm -rf $(SAN_PKG)/vorda/_vorda*.so $(SAN_PKG)/vorda/__pycache__
	cmake --install $(SAN_BUILD) --prefix $(SAN_PKG) --component python >/dev/null
	@# Make sure the tests import the instrumented module, not an installed one.
	cd tests && env $(SAN_PY_ENV) ../$(VPY) -c \
	  'import sys, vorda._vorda as m; print("sanitized module:", m.__file__); sys.exit(not m.__file__.startswith(sys.argv[1]))' \
	  $(CURDIR)/$(SAN_PKG)/
	cd tests && env $(SAN_PY_ENV) ../$(VPY) -m pytest -q -p no:cacheprovider --capture=sys .; $(SAN_CHECK)

# libFuzzer targets of the JSON reader and writer (fuzz/), built with clang
# and ASan + UBSan, each run for FUZZ_SECONDS. The corpus each run grows is
# kept in fuzz/corpus-<target>/ (not committed); the seeds are the committed
# regressions and the shared corpora beside the clone (under CI=true a missing
# corpus fails the run; elsewhere it is left out). A
# failing input is left in $(FUZZ_BUILD)/artifacts/: add it to
# fuzz/regressions/<target>/, where CTest replays it on every test run.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
CORPORA ?= ../shared/corpora
FUZZ_SEEDS_read := $(CORPORA)/JSONTestSuite/test_parsing $(CORPORA)/nativejson
FUZZ_FLAGS_read := -dict=fuzz/json.dict
# Debian 12's clang is clang 14; libFuzzer's runtime comes with libclang-rt-14-dev.
FUZZ_PACKAGES := clang libclang-rt-14-dev

fuzz-deps:
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; \
	fi

# One target's run: the seeds that are there, then libFuzzer for FUZZ_SECONDS.
define fuzz_run
	@mkdir -p fuzz/corpus-$(1) $(FUZZ_BUILD)/artifacts
	@seeds=""; for s in fuzz/regressions/$(1) $(FUZZ_SEEDS_$(1)); do \
	  if [ -e $$s ]; then seeds="$$seeds $$s"; \
	  elif [ "$$CI" = true ]; then echo "fuzz: seed corpus $$s is missing"; exit 1; fi; \
	done; \
	echo "fuzz: $(1) for $(FUZZ_SECONDS) s, seeds:$$seeds"; \
	if ! $(FUZZ_BUILD)/fuzz/vorda_fuzz_$(1) -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$(1)- $(FUZZ_FLAGS_$(1)) \
	    fuzz/corpus-$(1) $$seeds > $(FUZZ_BUILD)/$(1).log 2>&1; then \
	  tail -n 60 $(FUZZ_BUILD)/$(1).log; \
	  echo "fuzz: $(1) failed; the input is in $(FUZZ_BUILD)/artifacts/"; exit 1; \
	fi; \
	grep -E "^(Done|stat::new_units_added)" $(FUZZ_BUILD)/$(1).log
endef

fuzz: fuzz-deps venv
	$(CMAKE) --preset fuzz -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	$(CMAKE) --build --preset fuzz -j $(JOBS)
	$(call fuzz_run,read)
	$(call fuzz_run,write)

# Static analysis: clang-format (style) and clang-tidy (.clang-tidy's checks)
# over the C++ sources; any finding fails. The tools are pinned wheels from
# PyPI in $(VENV), so every machine runs the same versions; clang-tidy reads
# the compile commands of a configured (not built) tree.
LINT_BUILD := build/lint
LINT_TOOLS := clang-format==18.1.8 clang-tidy==18.1.8
LINT_FORMAT := src/_vorda/*.cpp src/_vorda/*.hpp fuzz/*.cpp fuzz/*.hpp tests/native/*.cpp
LINT_TIDY := src/_vorda/*.cpp fuzz/*.cpp

lint-deps: venv
	$(VPY) -m pip install -q --disable-pip-version-check $(LINT_TOOLS)

lint: lint-deps system-deps
	$(CMAKE) --preset lint >/dev/null
	$(VENV)/bin/clang-format --dry-run --Werror $(LINT_FORMAT)
	ls $(LINT_TIDY) | xargs -P $(JOBS) -n 1 $(VENV)/bin/clang-tidy -p $(LINT_BUILD) --quiet
	@echo "lint: clean"

clean:
	rm -rf build src/vorda/_vorda*.so
