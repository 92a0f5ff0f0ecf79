# The project's front door. `make test` is what CI runs.
BUILD    ?= build
PREFIX   ?= /usr/local
JOBS     ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 30

.PHONY: all deps build test demo bench sanitize fuzz install clean

all: build

deps:
	@tools/install-deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure

demo: build
	@tools/demo.sh $(BUILD)

bench: deps
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DNAVBEACON_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@tools/bench.sh $(BUILD)-bench

# The tests again, built by clang with AddressSanitizer and UBSan.
sanitize: deps
	@CXX=clang++ cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DNAVBEACON_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-asan -j $(JOBS)
	@cd $(BUILD)-asan && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 ctest --output-on-failure

# Each fuzz target for FUZZ_SECONDS; any finding fails.
fuzz: deps
	@CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVBEACON_FUZZ=ON >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS)
	@tools/fuzz.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-bench
