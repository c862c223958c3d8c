# Set-up, build, test and demo. Every target first installs what is missing.
BUILD   ?= build
ASAN    ?= build/asan
BENCH   ?= build/bench
JOBS    ?= 2
CMAKE_FLAGS ?=

FUZZ_BUILD   ?= build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_RUNS    ?=

.PHONY: all deps build test macos-check demo bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

# The release build: build/bin/ntolvex and build/lib/libnorvane.a.
build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The test build runs under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	@cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure --timeout 600

# The macOS build, checked on Linux: every source compiled for x86_64 and arm64 macOS
# with the warnings as errors, ntolvex linked for both and joined into one universal
# binary that loads only system libraries (scripts/macos-check.sh).
macos-check: deps
	@JOBS=$(JOBS) ./scripts/macos-check.sh $(BUILD)/macos

demo: deps build
	@./sample/demo.sh $(BUILD)/bin/ntolvex

# Benchmarks on the Release build: URL parsing, the HTTP agent and the whole download
# command against curl and cp, check against Python's json module, and the start-up of
# get-version against an empty program with the same libraries and /bin/true.
bench: deps
	@cmake -S . -B $(BENCH) -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF -DNORVANE_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BENCH) -j $(JOBS)
	@$(BENCH)/bin/url_bench
	@./bench/check_bench.sh $(BENCH)/bin/ntolvex
	@./bench/download_bench.sh $(BENCH)/bin/download_driver
	@./bench/download_command_bench.sh $(BENCH)/bin/ntolvex
	@./bench/startup_bench.sh $(BENCH)/bin/ntolvex

# libFuzzer targets (clang), each run for FUZZ_SECONDS, or for FUZZ_RUNS inputs with a
# fixed seed when that is set.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNORVANE_FUZZ=ON -DNORVANE_TESTS=OFF -DNORVANE_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_RUNS)

clean:
	rm -rf $(BUILD)
