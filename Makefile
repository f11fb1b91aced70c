# Two set-up commands: `make demo` and `make test`. Both install missing Debian packages first.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# Most tests wait on a collector, a timer or a second process, not a core: twice as many tests
# as cores keep the cores busy.
TEST_JOBS ?= $(shell echo $$((2 * $$(nproc))))
CMAKE_FLAGS ?=

.PHONY: all deps build test test-tsan test-asan demo inspect bench fleet fuzz format clean
FUZZ_SECONDS ?= 60

all: build

deps:
	@bash scripts/install-deps.sh

build/build.ninja: | deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

test: build
	@# Without Chromium only the page's browser test is skipped (it says so); the rest still runs.
	bash scripts/install-deps.sh --browser || echo "make test: Chromium could not be installed; the collector page's browser test will be skipped" >&2
	cd build && ctest --output-on-failure -j $(TEST_JOBS)

# The sanitizer trees build only what their tests run: not the examples or the fleet host.
build-tsan/build.ninja: | deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVOR_SANITIZE=thread \
	  -DKELVOR_BUILD_EXAMPLES=OFF -DKELVOR_BUILD_TOOLS=OFF $(CMAKE_FLAGS)

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(TEST_JOBS) -E install_consumer

build-asan/build.ninja: | deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVOR_SANITIZE=address,undefined \
	  -DKELVOR_BUILD_EXAMPLES=OFF -DKELVOR_BUILD_TOOLS=OFF $(CMAKE_FLAGS)

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
	  ctest --output-on-failure -j $(TEST_JOBS) -E install_consumer

# The demo builds only what it runs (the library, the collector and the quickstart), without
# optimisation: it is over in well under a minute and a half.
build-demo/build.ninja: | deps
	cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
	  -DKELVOR_BUILD_TESTS=OFF $(CMAKE_FLAGS)

demo: deps build-demo/build.ninja
	cmake --build build-demo -j $(JOBS) --target quickstart quorvel-collector
	bash scripts/demo.sh build-demo

# The collector's live page with the quickstart's tracking plan: the quickstart runs once, then
# the collector waits for the developer's own app until Ctrl-C.
inspect: deps build-demo/build.ninja
	cmake --build build-demo -j $(JOBS) --target quickstart quorvel-collector
	bash scripts/inspect.sh build-demo

build-bench/build.ninja: | deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOR_BUILD_BENCH=ON \
	  -DKELVOR_BUILD_TESTS=OFF -DKELVOR_BUILD_TOOLS=ON $(CMAKE_FLAGS)

# BENCH_TAIL_FLAGS: e.g. --before OTHER/kelvor_caller_tail (the same bench built against another
# version, run in turn with this one) and --perf (the slowest call's frames).
bench: deps build-bench/build.ninja
	cmake --build build-bench -j $(JOBS)
	./build-bench/bench/kelvor_side_by_side
	./build-bench/bench/kelvor_caller_tail $(BENCH_TAIL_FLAGS)
	./build-bench/bench/kelvor_host_controls

# FLEET_HOSTS processes of a small host against one collector that answers 503 with Retry-After
# for FLEET_OUTAGE_S seconds, once recovering by back-off alone and once with a network change
# sent to every host at once; figures, CSV and plots land in build-fleet/fleet.
FLEET_HOSTS ?= 100
FLEET_OUTAGE_S ?= 60
build-fleet/build.ninja: | deps
	cmake -S . -B build-fleet -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVOR_BUILD_TESTS=OFF \
	  -DKELVOR_BUILD_TOOLS=ON -DKELVOR_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS)

fleet: deps build-fleet/build.ninja
	bash scripts/install-deps.sh --fleet
	cmake --build build-fleet -j $(JOBS) --target quorvel-collector quorvel-fleet-host
	python3 -B scripts/fleet.py --build build-fleet --hosts $(FLEET_HOSTS) --outage-s $(FLEET_OUTAGE_S)

# Each fuzz target for FUZZ_SECONDS with clang's libFuzzer, ASan and UBSan; findings land in
# build-fuzz/findings (keep them under tests/fuzz/findings/<target> to replay them in make test).
build-fuzz/build.ninja:
	bash scripts/install-deps.sh --fuzz
	CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKELVOR_FUZZ=ON -DKELVOR_SANITIZE=address,undefined -DKELVOR_BUILD_TESTS=OFF \
	  -DKELVOR_BUILD_EXAMPLES=OFF -DKELVOR_BUILD_TOOLS=OFF $(CMAKE_FLAGS)

fuzz: build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	bash scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

format:
	find include src tests tools examples bench fuzz -name '*.[ch]pp' -o -name '*.[ch]' | xargs clang-format -i

clean:
	rm -rf build build-demo build-tsan build-asan build-bench build-fuzz build-fleet
