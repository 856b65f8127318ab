# Two entry points: `make demo` builds quarnel and runs it on samples/, `make check` builds
# everything and runs all tests. BUILD picks the build directory (default build/).
# `make install PREFIX=dir` installs the tool (stripped), its man page and the engine with
# its CMake package and pkg-config file under dir (DESTDIR is honoured); `make package`
# builds the Debian packages in $(BUILD). `make windows` and `make windows-check` do the
# same for the Windows build, `make arm64` and `make arm64-check` for Linux on ARM64 (see
# below).
BUILD ?= build
JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
QUARNEL = $(BUILD)/quarnel
SAMPLE = samples/server.log
PREFIX ?= /usr/local

.PHONY: all configure build demo check install package package-windows package-arm64 sanitize fuzz bench scale-bench \
	windows windows-check arm64 arm64-check clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

configure: $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) --target quarnel -j $(JOBS)

demo: build
	@echo
	@echo '$$ $(QUARNEL) -v -ln -ic -fERROR -fWARN < $(SAMPLE)'
	@$(QUARNEL) -v -ln -ic -fERROR -fWARN < $(SAMPLE)
	@echo
	@echo '$$ $(QUARNEL) -iv -fINFO -uc < $(SAMPLE)'
	@$(QUARNEL) -iv -fINFO -uc < $(SAMPLE)
	@echo
	@printf '%s\n' "$$ $(QUARNEL) '-reg(GET|POST) ([^ ]+) ([0-9]+)' '-sub\3 \1 \2' < $(SAMPLE)"
	@$(QUARNEL) '-reg(GET|POST) ([^ ]+) ([0-9]+)' '-sub\3 \1 \2' < $(SAMPLE)

check: configure
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only what is installed is built: the tool and the exported libraries. The tool is
# installed stripped (the build tree keeps its debug information for the tests).
install: configure
	cmake --build $(BUILD) --target installable -j $(JOBS)
	cmake --install $(BUILD) --prefix $(PREFIX) --strip

# The Windows zip and the arm64 package too, once their builds exist (make windows,
# make arm64).
package: configure
	cmake --build $(BUILD) --target package -j $(JOBS)
	@if [ -f $(WINDOWS_BUILD)/CMakeCache.txt ]; then $(MAKE) --no-print-directory package-windows; fi
	@if [ -f $(ARM64_BUILD)/CMakeCache.txt ]; then $(MAKE) --no-print-directory package-arm64; fi

package-windows: windows
	cmake --build $(WINDOWS_BUILD) --target package -j $(JOBS)

package-arm64: arm64
	cmake --build $(ARM64_BUILD) --target package -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, in its own tree.
sanitize:
	$(MAKE) check BUILD=build-sanitize CMAKE_FLAGS=-DQUARNEL_SANITIZE=ON

# Every libFuzzer target for FUZZ_SECONDS each from its seed corpus (needs clang).
FUZZ_SECONDS ?= 60
fuzz:
	fuzz/run.sh $(FUZZ_SECONDS)

# quarnel side by side with grep, rg and the other peers on 512 MiB of this machine's text
# (bench/peer_bench.sh; docs/performance.md). It times a Release build of its own, which is
# what -O3 gives the engine; the corpus is cached in $(BENCH_BUILD)/bench-corpus.
# BENCH_RUNS, BENCH_JOBS, BENCH_PEERS and the script's other variables pass through.
BENCH_BUILD ?= build-release
bench:
	$(MAKE) build BUILD=$(BENCH_BUILD) BUILD_TYPE=Release CMAKE_FLAGS="-DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF"
	bench/peer_bench.sh $(BENCH_BUILD)/quarnel

# One quarnel run against GNU parallel and xargs on the same 512 MiB (bench/scale_bench.sh,
# docs/scaling.md); the corpus is make bench's, built by one short run of it when missing.
# SCALE_RUNS, SCALE_JOBS and the script's other variables pass through.
scale-bench:
	@if [ ! -f $(BENCH_BUILD)/bench-corpus/corpus-v1-512MiB.txt ]; then \
	    $(MAKE) --no-print-directory bench BENCH_JOBS=W1 BENCH_RUNS=1; fi
	$(MAKE) build BUILD=$(BENCH_BUILD) BUILD_TYPE=Release CMAKE_FLAGS="-DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF"
	bench/scale_bench.sh $(BENCH_BUILD)/quarnel

# Windows: quarnel.exe cross-built with MinGW-w64 (build-windows/quarnel.exe, linked
# statically), and the end-to-end suites run against it under Wine from a native test tree.
WINDOWS_BUILD = build-windows
WINDOWS_TESTS = build-windows-tests
$(WINDOWS_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF

windows: $(WINDOWS_BUILD)/CMakeCache.txt
	cmake --build $(WINDOWS_BUILD) --target quarnel -j $(JOBS)

$(WINDOWS_TESTS)/CMakeCache.txt: $(WINDOWS_BUILD)/CMakeCache.txt
	cmake -S . -B $(WINDOWS_TESTS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUARNEL_BENCH=OFF \
	    -DQUARNEL_TARGET=$(abspath $(WINDOWS_BUILD))/quarnel-target.cmake

# The retry count is printed whether or not the suite passed.
windows-check: windows $(WINDOWS_TESTS)/CMakeCache.txt
	cmake --build $(WINDOWS_TESTS) -j $(JOBS)
	cd $(WINDOWS_TESTS) && { ctest --output-on-failure -j $(JOBS); status=$$?; \
	    echo "Runs retried after Wine failed to start them: $$(cat tests/emulator-retries.log 2>/dev/null | wc -l)"; \
	    exit $$status; }

# Linux on ARM64: quarnel cross-built with Debian's g++-aarch64-linux-gnu (build-arm64/quarnel,
# linked dynamically like the native one), and the end-to-end suites and the arm64 package
# test run against it under qemu-aarch64 (qemu-user) from a native test tree.
ARM64_BUILD = build-arm64
ARM64_TESTS = build-arm64-tests
$(ARM64_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ARM64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	    -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUARNEL_TESTS=OFF -DQUARNEL_BENCH=OFF

arm64: $(ARM64_BUILD)/CMakeCache.txt
	cmake --build $(ARM64_BUILD) --target quarnel -j $(JOBS)

$(ARM64_TESTS)/CMakeCache.txt: $(ARM64_BUILD)/CMakeCache.txt
	cmake -S . -B $(ARM64_TESTS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUARNEL_BENCH=OFF \
	    -DQUARNEL_TARGET=$(abspath $(ARM64_BUILD))/quarnel-target.cmake

arm64-check: arm64 $(ARM64_TESTS)/CMakeCache.txt
	cmake --build $(ARM64_TESTS) -j $(JOBS)
	cd $(ARM64_TESTS) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
