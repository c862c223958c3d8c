# Set-up, build, test and demo. Every target first installs what is missing.
BUILD   ?= build
ASAN    ?= build/asan
JOBS    ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps build test demo bench fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

# The release build: build/bin/ntolvex and build/lib/libnorvane.a.
build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The test build runs under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps build
	@cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@ctest --test-dir $(ASAN) -j $(JOBS) --output-on-failure --timeout 600

demo: deps build
	@./sample/demo.sh $(BUILD)/bin/ntolvex

clean:
	rm -rf $(BUILD)
