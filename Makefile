# Entry points: `make demo` and `make test` do all set-up on a fresh
# Debian 12 machine.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# Generated page scripts: seconds per module, and the first seed.
PAGE_FUZZ_SECONDS ?= 60
PAGE_FUZZ_SEED ?= 1
# Reports fail the test; tests/tsan.supp names what is suppressed and why.
# Tests fork children that start threads, which TSan allows when told.
TSAN_OPTIONS_TEST = suppressions=$(CURDIR)/tests/tsan.supp:die_after_fork=0:second_deadlock_stack=1

.PHONY: all deps build build-asan build-tsan test test-fast demo fuzz fuzz-pages clean

all: build

deps:
	bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKELMORA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# ThreadSanitizer: its own build, since it cannot be combined with ASan.
build-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)

# The whole suite, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then under ThreadSanitizer (whose options and
# suppressions, tests/tsan.supp, are given here).
test: build build-asan build-tsan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=$(TSAN_OPTIONS_TEST) ctest --output-on-failure -j $(JOBS)
	$(MAKE) fuzz
	$(MAKE) fuzz-pages

test-fast: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Fuzzes the edit configuration parser for a bounded time. New inputs go to
# the build directory's corpus; the committed seeds stay read-only.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target edit_config_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus/edit_config
	$(FUZZ_BUILD)/tests/fuzz/edit_config_fuzzer -max_total_time=$(FUZZ_SECONDS) \
	  -close_fd_mask=3 -artifact_prefix=$(FUZZ_BUILD)/ -dict=tests/fuzz/edit_config.dict \
	  $(FUZZ_BUILD)/corpus/edit_config tests/fuzz/corpus

# Plays generated page scripts against both modules in the sanitizer
# build for a bounded time; fails on a sanitizer report, a "stack_trace", a
# crash or a hang, naming the seed (`page_script_fuzzer --print SEED
# --module M` gives the script again; failures are kept beside the build).
fuzz-pages: build-asan
	ASAN_OPTIONS=detect_leaks=1 $(ASAN_BUILD)/page_script_fuzzer --build $(ASAN_BUILD) \
	  --module both --scripts 1000000 --seconds $(PAGE_FUZZ_SECONDS) --seed $(PAGE_FUZZ_SEED) \
	  --jobs 4 --keep $(ASAN_BUILD)/page_fuzz_failures

demo: build
	bash scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
