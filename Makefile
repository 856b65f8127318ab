# Two entry points: `make demo` builds quarnel and runs it on samples/, `make check` builds
# everything and runs all tests. BUILD picks the build directory (default build/).
BUILD ?= build
JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
QUARNEL = $(BUILD)/quarnel
SAMPLE = samples/server.log

.PHONY: all configure build demo check sanitize fuzz bench clean

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

clean:
	rm -rf $(BUILD)
