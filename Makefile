# Entry points for developers and CI. `make test` and `make run` work on a
# fresh Debian 12 machine: they install what is missing first.
SHELL := /bin/bash
BUILD := build
ASAN_BUILD := build-asan
CMAKE_FLAGS := -G Ninja -Wno-dev
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
                 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/common/lsan.supp:print_suppressions=0

FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 20

.PHONY: all deps build build-asan build-fuzz test test-release test-asan fuzz run play bench format \
        format-check clean

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

build-fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDIOPTRIX_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD)

# Every test, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short run of every fuzz target; any
# failure or sanitizer report fails the run.
test: test-release test-asan fuzz

# Each fuzz target runs FUZZ_SECONDS from its seed inputs in tests/fuzz/corpus.
fuzz: build-fuzz
	@for f in $(FUZZ_BUILD)/bin/fuzz_*; do \
	  name=$$(basename $$f); corpus=$$(mktemp -d); \
	  cp -r tests/fuzz/corpus/$${name#fuzz_}/. $$corpus/ 2>/dev/null || true; \
	  echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  $(SANITIZER_ENV) $$f -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -print_final_stats=0 \
	    $$corpus >$$corpus.log 2>&1 || { tail -40 $$corpus.log; rm -rf $$corpus; exit 1; }; \
	  grep -E "^Done|#[0-9]+.*DONE" $$corpus.log | tail -1; rm -rf $$corpus $$corpus.log; \
	done

test-release: build
	@cd $(BUILD) && ctest --output-on-failure -j $$(nproc)

test-asan: build-asan
	@cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $$(nproc)

# The main job: converts the bundled 2D sample clip into a 3D video (2D
# converted to 3D, colour anaglyph for red/cyan glasses, H.264 with the sound
# track) in out/, with the converter that runs the player's frame pipeline.
RUN_OUTPUT := out/sample-3d-anaglyph.mp4
run: build
	@mkdir -p out
	@$(BUILD)/bin/dioptrix-convert assets/sample-2d.mp4 --layout 2d-to-3d \
	  --method anaglyph-colour --codec h264 -y -o $(RUN_OUTPUT)
	@echo "The 3D video is $(RUN_OUTPUT): watch it with red/cyan glasses."

# The core's benchmarks, then the window benchmarks on an X server of their
# own with a screen large enough for 1080p windows.
# Plays the bundled sample in the player, converted to 3D for red/cyan glasses.
play: build
	@$(BUILD)/bin/dioptrix assets/sample-2d.mp4

bench: build
	@$(BUILD)/bin/dioptrix_bench
	@DIOPTRIX_XVFB_SCREEN=1920x1200x24 tests/common/with-xvfb $(BUILD)/bin/dioptrix_gui_bench

format:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format -i

format-check:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
