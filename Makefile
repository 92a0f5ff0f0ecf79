# The project's front door. `make test` is what CI runs. Each target first
# installs the Debian packages it needs (tools/install-deps says which and
# why).
BUILD    ?= build
PREFIX   ?= /usr/local
DESTDIR  ?=
JOBS     ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 30

.PHONY: all build test test-marble demo bench sanitize fuzz install uninstall deb clean

all: build

# The programs alone: no test frameworks.
build:
	@tools/install-deps build
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test:
	@tools/install-deps test
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DBUILD_TESTING=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -LE marble

# navbeacon-maphost --marble against a real Marble under Xvfb: a large set
# of packages and seconds to start, hence a target of its own.
test-marble:
	@tools/install-deps test-marble
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DBUILD_TESTING=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -L marble

demo: build
	@tools/install-deps demo
	@tools/demo.sh $(BUILD)

bench:
	@tools/install-deps bench
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DNAVBEACON_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@tools/bench.sh $(BUILD)-bench

# The tests again, built by clang with AddressSanitizer and UBSan.
sanitize:
	@tools/install-deps sanitize
	@CXX=clang++ cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DNAVBEACON_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-asan -j $(JOBS)
	@cd $(BUILD)-asan && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 ctest --output-on-failure -LE marble

# Each fuzz target for FUZZ_SECONDS; any finding fails.
fuzz:
	@tools/install-deps fuzz
	@CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNAVBEACON_FUZZ=ON >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS)
	@tools/fuzz.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

install: build
	@target="$(DESTDIR)$(PREFIX)"; mkdir -p "$$target" 2>/dev/null; \
	if [ ! -w "$$target" ]; then \
	  echo "navbeacon: cannot write to $$target; install as root (sudo make install)," >&2; \
	  echo "navbeacon: or into your home: make install PREFIX=\$$HOME/.local" >&2; \
	  exit 1; \
	fi
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# Removes exactly the files the last `make install` put there.
uninstall:
	@test -f $(BUILD)/install_manifest.txt || \
	  { echo "navbeacon: nothing to uninstall: no $(BUILD)/install_manifest.txt" >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do rm -f "$$file" && echo "removed $$file"; done \
	  < $(BUILD)/install_manifest.txt
	@sed -n 's#/public-ports.md$$##p' $(BUILD)/install_manifest.txt | xargs -r rmdir --ignore-fail-on-non-empty
	@rm -f $(BUILD)/install_manifest.txt

# navbeacon_VERSION_ARCH.deb in this directory.
deb:
	@tools/install-deps deb
	@cmake -S . -B $(BUILD)-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BUILD)-deb -j $(JOBS)
	@cd $(BUILD)-deb && cpack -G DEB >/dev/null
	@cp $(BUILD)-deb/package/navbeacon_*.deb .
	@ls navbeacon_*.deb

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-bench $(BUILD)-deb navbeacon_*.deb
