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
PLAIN_BUILD := build-plain
FUZZ_SECONDS ?= 20

.PHONY: all deps build build-asan build-fuzz build-plain test test-release test-asan test-plain fuzz run \
        convert-sample \
        screenshot bench format \
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

# The kernels in their plain versions only, as built for a processor without
# vector instructions, with the test programs of the code that has kernels.
PLAIN_TESTS := test_platform test_image test_process test_formats test_blocks test_playback
build-plain: deps
	@cmake -S . -B $(PLAIN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDIOPTRIX_VECTOR_KERNELS=OFF >/dev/null
	@cmake --build $(PLAIN_BUILD) --target $(PLAIN_TESTS)

build-fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDIOPTRIX_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD)

# Every test, the kernels' tests again with the vector versions left out of
# the build, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then a short run of every fuzz target; any
# failure or sanitizer report fails the run.
test: test-release test-plain test-asan fuzz

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

test-plain: build-plain
	@for t in $(PLAIN_TESTS); do \
	  echo "$$t (plain kernels)"; $(PLAIN_BUILD)/bin/$$t --gtest_brief=1 || exit 1; \
	done

# LeakSanitizer's own tracer now and then crashes while it stops a process's
# threads at exit (the test itself has passed); only then are the failed
# tests run once more.
test-asan: build-asan
	@cd $(ASAN_BUILD) && { $(SANITIZER_ENV) ctest --output-on-failure -j $$(nproc) 2>&1 | tee ctest-asan.log; \
	  test $${PIPESTATUS[0]} -eq 0 || { grep -q "LeakSanitizer has encountered a fatal error" ctest-asan.log && \
	    echo "LeakSanitizer's tracer crashed: the failed tests once more" && \
	    $(SANITIZER_ENV) ctest --rerun-failed --output-on-failure; }; }

# The main job. With a display: the player opens the bundled 2D sample clip
# and plays it converted to 3D for the glasses in its settings (anaglyph on
# the first run); the window stays open to play it again or open another
# video. Without one: the converter turns the sample into a 3D video (2D
# converted to 3D, colour anaglyph for red/cyan glasses, H.264 with the sound
# track) in out/, through the same frame pipeline.
RUN_OUTPUT := out/sample-3d-anaglyph.mp4
run: build
	@if [[ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]]; then \
	  echo "Playing assets/sample-2d.mp4 in 3D (File > Settings picks your glasses)."; \
	  $(BUILD)/bin/dioptrix assets/sample-2d.mp4; \
	else \
	  echo "No display here: converting the sample to a 3D video instead."; \
	  mkdir -p out; \
	  $(BUILD)/bin/dioptrix-convert assets/sample-2d.mp4 --layout 2d-to-3d \
	    --method anaglyph-colour --codec h264 -y -o $(RUN_OUTPUT) && \
	  echo "The 3D video is $(RUN_OUTPUT): watch it with red/cyan glasses."; \
	fi

# Converts the sample without a display, whatever the machine has.
convert-sample: build
	@mkdir -p out
	@$(BUILD)/bin/dioptrix-convert assets/sample-2d.mp4 --layout 2d-to-3d \
	  --method anaglyph-colour --codec h264 -y -o $(RUN_OUTPUT)
	@echo "The 3D video is $(RUN_OUTPUT): watch it with red/cyan glasses."

# A picture of the main window playing the sample, for the README; made on
# an X server of its own so that it can be made again anywhere.
screenshot: build
	@tests/common/with-xvfb $(BUILD)/bin/dioptrix-screenshot assets/sample-2d.mp4 \
	  docs/screenshot.png

# The core's benchmarks, the converter's frame rate beside ffmpeg decoding the
# same 1080p clip, then the window benchmarks on an X server of their own
# with a screen large enough for 1080p windows.
bench: build
	@$(BUILD)/bin/dioptrix_bench
	@tools/bench-converter $(BUILD)
	@DIOPTRIX_XVFB_SCREEN=1920x1200x24 tests/common/with-xvfb $(BUILD)/bin/dioptrix_gui_bench

format:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format -i

format-check:
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PLAIN_BUILD)
