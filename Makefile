# Every target sets up what it needs: a fresh machine only needs python3.13 (with headers),
# g++ and make.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
# BUILD and TARGETS let parallel work use its own build tree and build only its modules.
BUILD ?= build/release
TARGETS ?=
JOBS ?= 2

.PHONY: all venv build test test-native test-python demo clean

all: build

$(VENV)/.ready: requirements-dev.txt tools/find-python313
	@PY313=$$(PYTHON="$(PYTHON)" tools/find-python313) && rm -rf $(VENV) && "$$PY313" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@# The source tree is the package root for in-place builds.
	$(PY) -c "import site, os; open(os.path.join(site.getsitepackages()[0], 'ondrel-src.pth'), 'w').write(os.path.abspath('src') + '\n')"
	@touch $@

venv: $(VENV)/.ready

build: venv
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS))

test-native: build
	@set -e; for t in $(BUILD)/test_*; do [ -x "$$t" ] || continue; echo "== $$t"; "$$t"; done

test-python: build
	$(PY) -m pytest -q

test: test-native test-python

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete

# Benchmark of the TOML writer against its peers (bench/). BENCH_ARGS passes options, e.g. --quick.
.PHONY: bench bench-deps
$(VENV)/.bench-ready: $(VENV)/.ready bench/requirements.txt
	$(PY) -m pip install -q -r bench/requirements.txt
	@touch $@

bench-deps: $(VENV)/.bench-ready

bench: build bench-deps
	$(PY) bench/bench_toml.py $(BENCH_ARGS)

# Packaging check: build the wheel with pip, check its contents, install it into a fresh
# 3.13 venv and smoke-test it there (tools/wheel_check.py). WHEEL_CHECK_FLAGS=--keep keeps
# the temporary directory; --allow-pending tolerates a public API that is not complete yet.
.PHONY: wheel-check format lint
WHEEL_CHECK_FLAGS ?=
wheel-check: venv
	PYTHON="$(PYTHON)" $(PY) tools/wheel_check.py $(WHEEL_CHECK_FLAGS)

# Formatting and lint. CXX_FILES and PY_FILES narrow the files (default: all in the tree).
CXX_FILES ?= $(shell git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' '*.h')
PY_FILES ?= .
$(VENV)/.lint-ready: $(VENV)/.ready requirements-lint.txt
	$(PY) -m pip install -q -r requirements-lint.txt
	@touch $@

format: $(VENV)/.lint-ready
	$(if $(CXX_FILES),$(VENV)/bin/clang-format -i $(CXX_FILES))
	$(VENV)/bin/ruff check --fix-only --quiet $(PY_FILES)
	$(VENV)/bin/ruff format $(PY_FILES)

# clang-tidy reads the compile commands of $(BUILD) (configured here, not built) and checks
# the .cpp files, and through them the project's headers.
lint: $(VENV)/.lint-ready
	$(if $(CXX_FILES),$(VENV)/bin/clang-format --dry-run -Werror $(CXX_FILES))
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	printf '%s\n' $(filter %.cpp,$(CXX_FILES)) | \
	  xargs -r -n 2 -P $(JOBS) $(VENV)/bin/clang-tidy -p $(BUILD) --quiet
	$(VENV)/bin/ruff check $(PY_FILES)
	$(VENV)/bin/ruff format --check $(PY_FILES)
