# The two entry points of the README, and the CI extras.
#   make demo   install what is missing, build the program alone, convert the
#               bundled sample
#   make test   install what is missing, build everything, run the whole test suite
#   make package  build the Debian package $(BUILD)/kestrine_<version>_<arch>.deb
#   make sanitize the whole test suite under AddressSanitizer and UBSan
#   make tsan     the tests that run two threads under ThreadSanitizer
#   make release  a -O3 Release build with the tests, and the program alone
#   make fuzz     each fuzz target for FUZZ_SECONDS (clang++, libFuzzer)
#   make memory-check  peak memory converting 1 GB against 1 MB
#   make count-check   the converted count past 2^31 (minutes of work)
#   make bench    kestrine side by side with cat and a libpcap copy loop
#                 (BENCH_MB=500 BENCH_RUNS=7 BENCH_DIR=/tmp; see bench/README.md)
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE ?= samples/sample-radiotap.pcap

.PHONY: deps configure build demo test package clean sanitize tsan release fuzz memory-check count-check bench

deps:
	sh tools/deps.sh

# One configuration for every target, so that demo, build and test share
# the build directory.
# Warnings are errors in every build the Makefile makes (never by default
# for someone building a release with cmake alone).
WERROR ?= -DKESTRINE_WERROR=ON

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The demo runs the program alone: the test suite is left to make test.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestrine
	$(BUILD)/kestrine $(SAMPLE) $(BUILD)/sample-ethernet.pcap
	@if command -v tcpdump >/dev/null 2>&1; then \
	  echo "First converted records ($(BUILD)/sample-ethernet.pcap):"; \
	  tcpdump -nn -e -r $(BUILD)/sample-ethernet.pcap -c 10 2>/dev/null; \
	fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

package: build
	cd $(BUILD) && cpack -G DEB

ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRINE_SANITIZE=ON $(WERROR)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# A decrypting run uses two threads where two cores are free, and these
# tests decrypt, stream, fail or replay fuzz inputs with --threads 2 among
# them; a race found stops the test that found it.
TSAN_BUILD ?= build-tsan
TSAN_TESTS ?= threads|faults|pipeline|live_input|broken_pipe|fuzz_.*_regressions|decryption_oracle|handshake|tdls|fast_transition|real_captures|multi_link|decrypt_only|key_log

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRINE_SANITIZE_THREAD=ON $(WERROR)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	@# Each name of the list must still select a test: a renamed test
	@# would otherwise drop out of this run without a word.
	@cd $(TSAN_BUILD) && for name in $$(echo '$(TSAN_TESTS)' | tr '|' ' '); do \
	  ctest -N -R "$$name" | grep -q '^Total Tests: [1-9]' || \
	    { echo "make tsan: no test matches '$$name'"; exit 1; }; \
	done
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure --no-tests=error -j $(JOBS) -R '$(TSAN_TESTS)'

# The way a packager builds: -O3, where GCC's flow analysis warns of more
# than at -O2 (with warnings as errors, so that a new one stops CI), and the
# program alone without the tests.
RELEASE_BUILD ?= build-release

release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release $(WERROR)
	cmake --build $(RELEASE_BUILD) -j $(JOBS)
	cmake -S . -B $(RELEASE_BUILD)-program -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	cmake --build $(RELEASE_BUILD)-program -j $(JOBS)
	@test ! -e $(RELEASE_BUILD)-program/kestrine_gen || \
	  { echo "make release: BUILD_TESTING=OFF built the generator"; exit 1; }
	$(RELEASE_BUILD)-program/kestrine $(SAMPLE) $(RELEASE_BUILD)-program/sample-ethernet.pcap

# Only the fuzz targets and what seeding them needs are built with clang.
fuzz:
	sh tools/deps.sh clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRINE_FUZZ=ON $(WERROR) \
	  -DBUILD_TESTING=OFF -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_frame fuzz_capture \
	  fuzz_decrypt fuzz_frame_replay fuzz_capture_replay fuzz_decrypt_replay kestrine_fuzz_seeds kestrine_gen
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

memory-check: build
	cd $(BUILD) && KESTRINE_MEMORY_CHECK=1 ctest --output-on-failure --no-tests=error -R flat_memory

count-check: build
	cd $(BUILD) && KESTRINE_LONG_TESTS=1 ctest --output-on-failure --no-tests=error -R converted_count

# A benchmark, not a test: it prints times and ratios and never fails on them.
BENCH_MB ?= 500
BENCH_RUNS ?= 7
BENCH_DIR ?= /tmp

bench: deps
	sh tools/deps.sh aircrack-ng tshark
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)
	cmake --build $(BUILD) -j $(JOBS) --target kestrine_bench
	./$(BUILD)/bench/kestrine_bench --kestrine $(BUILD)/kestrine --gen $(BUILD)/kestrine_gen \
	  --copy $(BUILD)/bench/pcap_copy --mb $(BENCH_MB) --runs $(BENCH_RUNS) --dir $(BENCH_DIR)

clean:
	rm -rf $(BUILD) build-*
