# Every target sets up what it needs: a fresh machine only needs python3.13 (with headers),
# g++ and make.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
# BUILD and TARGETS let parallel work use its own build tree and build only its modules.
BUILD ?= build/release
TARGETS ?=
JOBS ?= 2
# Warnings fail every build made here (and so `make test` and CI); a plain `pip install .`
# only warns.
CMAKE_FLAGS ?= -DONDREL_WERROR=ON

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
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_FLAGS) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS) $(if $(TARGETS),--target $(TARGETS))

test-native: build
	@set -e; for t in $(BUILD)/test_*; do [ -x "$$t" ] || continue; echo "== $$t"; "$$t"; done

test-python: build
	$(PY) -m pytest -q

test: system-deps test-native test-python test-simd-levels test-arm test-asan test-dev test-valgrind fuzz-ci lint wheel-check

# Debian packages some tests use (valgrind, strace, sqlite3, postgresql): installed when
# missing and possible, else named with what skips (tools/system-deps).
.PHONY: system-deps
system-deps:
	@bash tools/system-deps

# The byte kernels at every vector level this CPU has below its best, which test-python and
# test-native run (ONDREL_SIMD; README "Vector code"): the native tests, the property tests
# and the layout oracle, and the reader's differential and conformance tests again at each.
SIMD_TESTS ?= tests/test_encoder_property.py tests/test_encoder_arrow.py \
  tests/test_decoder_differential.py tests/test_decoder_conformance.py
# The levels of this architecture, lowest first.
HOST_ARCH := $(shell uname -m)
SIMD_LEVELS := $(if $(filter aarch64 arm64,$(HOST_ARCH)),portable neon,portable sse2 avx2 avx512)
.PHONY: test-simd-levels
test-simd-levels: build
	@set -e; best=$$($(PY) -c 'from ondrel.datastore.adapter.toml import pentock as p; print(p._simd_level)'); \
	for level in $(SIMD_LEVELS); do \
	  [ "$$level" = "$$best" ] && break; \
	  echo "== ONDREL_SIMD=$$level (best here: $$best)"; \
	  for t in $(BUILD)/test_common $(BUILD)/test_utf8 $(BUILD)/test_number_text; do \
	    ONDREL_SIMD=$$level "$$t"; done; \
	  ONDREL_SIMD=$$level $(PY) -m pytest -q -p no:cacheprovider $(SIMD_TESTS); \
	done

# The NEON level without ARM hardware: the native kernel tests cross-built for aarch64 and run
# under qemu at the neon and portable levels, then every source of the extension compiled for
# aarch64 with the warnings as errors (syntax only, this host's Python headers), so an ARM wheel
# build does not break. On an aarch64 host the native compiler runs them directly. Skips, saying
# why, without the cross compiler or qemu (tools/system-deps installs both).
ifeq ($(filter aarch64 arm64,$(HOST_ARCH)),)
ARM_CXX ?= aarch64-linux-gnu-g++-12
ARM_RUN ?= qemu-aarch64 -L /usr/aarch64-linux-gnu
else
ARM_CXX ?= g++
ARM_RUN ?=
endif
ARM_BUILD ?= build/arm
ARM_FLAGS = -std=c++20 -O2 -Wall -Wextra -Wno-missing-field-initializers -Werror -Isrc
.PHONY: test-arm
test-arm: venv
	@command -v $(ARM_CXX) >/dev/null || { echo "test-arm: skipped, no $(ARM_CXX) (g++-12-aarch64-linux-gnu)"; exit 0; }; \
	[ -z "$(ARM_RUN)" ] || command -v $(firstword $(ARM_RUN)) >/dev/null || \
	  { echo "test-arm: skipped, no $(firstword $(ARM_RUN)) (qemu-user)"; exit 0; }; \
	set -e; mkdir -p $(ARM_BUILD); \
	for t in test_common test_utf8; do $(ARM_CXX) $(ARM_FLAGS) tests/native/$$t.cpp -o $(ARM_BUILD)/$$t; done; \
	for level in neon portable; do for t in test_common test_utf8; do \
	  echo "== aarch64, ONDREL_SIMD=$$level: $$t"; ONDREL_SIMD=$$level $(ARM_RUN) $(ARM_BUILD)/$$t; \
	done; done; \
	echo "== aarch64: the extension's sources compile"; \
	inc=$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])'); \
	find src -name '*.cpp' | xargs -P $(JOBS) -n 4 $(ARM_CXX) $(ARM_FLAGS) -fsyntax-only -I"$$inc"

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV)
	find src -name '*.so' -delete

# Benchmarks of the TOML writer (bench) and reader (bench-read) against their peers, and of
# records="arrow" against the other roads into Arrow (bench-arrow) (bench/).
# BENCH_ARGS passes options, e.g. --quick.
.PHONY: bench bench-kinds bench-instructions bench-read bench-arrow bench-arrow-write bench-store bench-sql bench-deps
$(VENV)/.bench-ready: $(VENV)/.ready bench/requirements.txt
	$(PY) -m pip install -q -r bench/requirements.txt
	@touch $@

bench-deps: $(VENV)/.bench-ready

bench: build bench-deps
	$(PY) bench/bench_toml.py $(BENCH_ARGS)

# The writer one kind of value at a time against orjson and ssrjson (bench/bench_kinds.py).
bench-kinds: build bench-deps
	$(PY) bench/bench_kinds.py $(BENCH_ARGS)

# The same models' instructions per record under callgrind, ours and the peers'
# (bench/bench_instructions.py): steady where timings on a shared machine are not.
bench-instructions: build bench-deps system-deps
	$(PY) bench/bench_instructions.py $(BENCH_ARGS)

bench-read: build bench-deps
	$(PY) bench/bench_toml_read.py $(BENCH_ARGS)

# Its peers (pyarrow, polars) are dev requirements already.
bench-arrow: build
	$(PY) bench/bench_toml_arrow.py $(BENCH_ARGS)

# The writer's records straight from Arrow against to_pylist() + encode, ready-made dicts and
# polars' NDJSON writer (its peers are dev requirements too).
bench-arrow-write: build
	$(PY) bench/bench_toml_arrow_write.py $(BENCH_ARGS)

# The store handle's lock alone and under contention (bench/bench_store.py).
bench-store: build
	$(PY) bench/bench_store.py $(BENCH_ARGS)

# A store into PostgreSQL, DuckDB and SQLite (and out of PostgreSQL) against the databases' own
# loaders: psql \copy, read_json, the sqlite3 shell's .import (bench/bench_sql.py).
bench-sql: build bench-deps system-deps
	$(PY) bench/bench_sql.py $(BENCH_ARGS)

# Packaging check: build the wheel with pip, check its contents, install it into a fresh
# 3.13 venv and smoke-test it there (tools/wheel_check.py). WHEEL_CHECK_FLAGS=--keep keeps
# the temporary directory; --allow-pending tolerates a public API that is not complete yet.
.PHONY: wheel-check format lint
WHEEL_CHECK_FLAGS ?=
wheel-check: venv
	PYTHON="$(PYTHON)" $(PY) tools/wheel_check.py $(WHEEL_CHECK_FLAGS)

# Formatting and lint. CXX_FILES and PY_FILES narrow the files (default: all in the tree).
CXX_FILES ?= $(shell git ls-files --cached --others --exclude-standard -- '*.cpp' '*.hpp' '*.h' '*.ipp')
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
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) $(CMAKE_FLAGS) >/dev/null
	printf '%s\n' $(filter %.cpp,$(CXX_FILES)) | \
	  xargs -r -n 2 -P $(JOBS) $(VENV)/bin/clang-tidy -p $(BUILD) --quiet
	$(VENV)/bin/ruff check $(PY_FILES)
	$(VENV)/bin/ruff format --check $(PY_FILES)

# ---- reliability: sanitizers, -X dev, valgrind, fuzzing ------------------------------------
# Each sanitizer build lands in its own copy of the Python sources (without any built module),
# so the suite runs against it through PYTHONPATH while the in-place tree stays untouched.
# ONDREL_SANITIZED=1 lets tests that cannot run under ASan (address-space limits, mypy) skip.
.PHONY: test-asan test-dev test-valgrind fuzz fuzz-ci
ASAN_BUILD ?= build/asan
ASAN_TINY_BUILD ?= build/asan-tiny
FUZZ_SECONDS ?= 300
FUZZ_SEED ?=
VALGRIND_SCRIPT ?= tools/valgrind_smoke.py
ASAN_ENV = ONDREL_SANITIZED=1 PYTHONMALLOC=malloc \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# sanitized_tree(<build dir>, <extra cmake flags>): configure and build into <dir>/src.
define sanitized_tree
	mkdir -p $(1)/src
	find $(1)/src -type f ! -name '*.so' -delete
	tar -C src -cf - --exclude='*.so' --exclude=__pycache__ . | tar -C $(1)/src -xf -
	$(VENV)/bin/cmake -S . -B $(1)/cmake -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_SANITIZE=ON $(CMAKE_FLAGS) \
	  -DONDREL_OUTPUT_ROOT=$(abspath $(1)/src) $(2) >/dev/null
	$(VENV)/bin/cmake --build $(1)/cmake -j $(JOBS)
endef

test-asan: venv
	$(call sanitized_tree,$(ASAN_BUILD),-DONDREL_TINY_BUFFER=OFF)
	@set -e; for t in $(ASAN_BUILD)/cmake/test_*; do [ -x "$$t" ] || continue; echo "== $$t"; \
	  ASAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1 "$$t"; done
	$(ASAN_ENV) PYTHONPATH=$(abspath $(ASAN_BUILD)/src) $(PY) -m pytest -q -p no:cacheprovider
	$(call sanitized_tree,$(ASAN_TINY_BUILD),-DONDREL_TINY_BUFFER=ON -DONDREL_NATIVE_TESTS=OFF)
	$(ASAN_ENV) PYTHONPATH=$(abspath $(ASAN_TINY_BUILD)/src) $(PY) -m pytest -q -p no:cacheprovider \
	  tests/test_encoder_*.py

test-dev: build
	$(PY) -X dev -m pytest -q -p no:cacheprovider

# valgrind memcheck over one script that calls every entry point; CPython's own noise is
# suppressed in tools/valgrind-python.supp.
test-valgrind: build
	@command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)"; exit 1; }
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=none \
	  --leak-check=no --track-origins=no --num-callers=30 \
	  --suppressions=tools/valgrind-python.supp $(PY) $(VALGRIND_SCRIPT)

# Seeded random models, values and holder operations (tools/fuzz.py), then the reader against
# tomllib and hostile inputs (tools/fuzz_decoder.py), each for half of FUZZ_SECONDS (FUZZ_SEED
# repeats a run).
FUZZ_HALF = $(shell $(PY) -c 'print($(FUZZ_SECONDS) / 2)')
fuzz: build
	$(PY) tools/fuzz.py --seconds $(FUZZ_HALF) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))
	$(PY) tools/fuzz_decoder.py --seconds $(FUZZ_HALF) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

# The short pass CI runs, on a fixed seed so a CI result can be reproduced; `make fuzz` draws
# a new seed each run to explore.
fuzz-ci: FUZZ_SECONDS = 45
fuzz-ci: FUZZ_SEED = 20261207
fuzz-ci: fuzz
