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
VERSION  := $(shell sed -n 's/^project(navbeacon VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
# Package and tarball dates come from the last commit, so that two builds
# of one commit are bit-identical (dpkg and tar clamp to it).
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif
# CMake reads CXXFLAGS and LDFLAGS only when it first configures a build
# directory; given here, they take effect on every configure.
FLAG_ARGS := $(if $(CXXFLAGS),"-DCMAKE_CXX_FLAGS=$(CXXFLAGS)") \
  $(if $(CPPFLAGS),"-DNAVBEACON_CPPFLAGS=$(CPPFLAGS)") \
  $(if $(LDFLAGS),"-DCMAKE_EXE_LINKER_FLAGS=$(LDFLAGS)" "-DCMAKE_SHARED_LINKER_FLAGS=$(LDFLAGS)")

.PHONY: all build test test-marble demo bench sanitize fuzz install uninstall deb dist clean

all: build

# The programs alone: no test frameworks.
build:
	@tools/install-deps build
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) $(FLAG_ARGS) -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test:
	@tools/install-deps test
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) $(FLAG_ARGS) -DBUILD_TESTING=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -LE marble

# navbeacon-maphost --marble against a real Marble under Xvfb: a large set
# of packages and seconds to start, hence a target of its own.
test-marble:
	@tools/install-deps test-marble
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) $(FLAG_ARGS) -DBUILD_TESTING=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -L marble

demo: build
	@tools/install-deps demo
	@tools/demo.sh $(BUILD)

bench:
	@tools/install-deps bench
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DNAVBEACON_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@bench/bench.sh $(BUILD)-bench

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
	@while IFS= read -r file || [ -n "$$file" ]; do rm -f "$(DESTDIR)$$file" && echo "removed $(DESTDIR)$$file"; done \
	  < $(BUILD)/install_manifest.txt
	@sed -n 's#^#$(DESTDIR)#; s#/public-ports.md$$##p; s#/index.html$$##p' $(BUILD)/install_manifest.txt | \
	  xargs -r rmdir --ignore-fail-on-non-empty
	@rm -f $(BUILD)/install_manifest.txt

# navbeacon_VERSION-REVISION_ARCH.deb in this directory, built by
# dpkg-buildpackage (debian/) from a copy of the tree in $(BUILD)-deb, so
# that nothing is written beside the tree and no earlier build leaks in.
# The package's tests run unless DEB_BUILD_OPTIONS holds nocheck.
deb:
	@tools/install-deps deb
	@rm -rf $(BUILD)-deb && mkdir -p $(BUILD)-deb/navbeacon-$(VERSION)
	@tar -c --exclude=./.git --exclude='./build*' --exclude='./navbeacon[_-]*' . | \
	  tar -x -C $(BUILD)-deb/navbeacon-$(VERSION)
	@cd $(BUILD)-deb/navbeacon-$(VERSION) && dpkg-buildpackage -b -us -uc -J$(JOBS) >../build.log 2>&1 || \
	  { tail -n 40 $(BUILD)-deb/build.log >&2; \
	    echo "navbeacon: dpkg-buildpackage failed; the whole log is $(BUILD)-deb/build.log" >&2; exit 1; }
	@rm -f navbeacon_*.deb && cp $(BUILD)-deb/navbeacon_*.deb .
	@ls navbeacon_*.deb

# navbeacon-VERSION.tar.gz: the committed tree (HEAD), nothing built.
dist:
	@tools/install-deps dist
	@git rev-parse --git-dir >/dev/null 2>&1 || \
	  { echo "navbeacon: make dist packs the git checkout's HEAD; this tree is not one (a tarball is already a source)" >&2; exit 1; }
	@git archive --format=tar.gz --prefix=navbeacon-$(VERSION)/ -o navbeacon-$(VERSION).tar.gz HEAD
	@ls navbeacon-$(VERSION).tar.gz

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-fuzz $(BUILD)-bench $(BUILD)-deb navbeacon_*.deb \
	  navbeacon-*.tar.gz
