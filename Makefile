# Entry points for developers and CI. `make test` and `make run` work on a
# fresh Debian 12 machine: they install what is missing first.
SHELL := /bin/bash
BUILD := build
ASAN_BUILD := build-asan
CMAKE_FLAGS := -G Ninja -Wno-dev
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps build build-asan test test-release test-asan run bench format format-check clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDIOPTRIX_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD)

# Every test, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer; any failure or sanitizer report fails the run.
test: test-release test-asan

test-release: build
	@cd $(BUILD) && ctest --output-on-failure -j $$(nproc)

test-asan: build-asan
	@cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $$(nproc)

# The main job. The player is not there yet, so this runs the benchmarks of
# the per-frame kernels on this machine.
run: build
	@echo "Dioptrix: the player is not built yet; running the kernel benchmarks instead."
	@$(BUILD)/bin/dioptrix_bench --benchmark_min_time=0.2

bench: build
	@$(BUILD)/bin/dioptrix_bench

format:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format -i

format-check:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
