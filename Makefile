# Front door of the toolchain. `make demo` and `make test` install what is
# missing from Debian's packages, build, and run.
BUILD ?= build
SAN_BUILD ?= build-sanitize
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build test test-sanitize test-tsan coverage fuzz demo bench install clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -G Ninja -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j2

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: setup
	@cmake -G Ninja -S . -B $(SAN_BUILD) $(CMAKE_FLAGS) -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF >/dev/null
	@cmake --build $(SAN_BUILD)
	@ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j2

# The tests labelled `threads` (where threads meet) under ThreadSanitizer;
# only what they need is built.
TSAN_TARGETS = test_kesto_threads test_kesto_frontend test_kesto_ambulant test_corvia KestoSerial corvia_sim corvia_memory vecshow glide_stats test_glide_stats_pipeline
test-tsan: setup
	@cmake -G Ninja -S . -B build-tsan $(CMAKE_FLAGS) -DTSAN=ON -DBUILD_BENCHMARKS=OFF >/dev/null
	@cmake --build build-tsan --target $(TSAN_TARGETS)
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j2 -L threads

# Line and branch coverage of everything but the tests, the benchmarks and
# the fuzz targets, from an unoptimised build in COV_BUILD; the summary
# (total and per folder) is printed and kept with an HTML report in
# COV_BUILD/coverage.
COV_BUILD ?= build-coverage
coverage: setup
	@cmake -G Ninja -S . -B $(COV_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOVERAGE=ON -DBUILD_BENCHMARKS=OFF >/dev/null
	@cmake --build $(COV_BUILD)
	@scripts/coverage.sh $(COV_BUILD)

# Every reader under libFuzzer (clang, in build-fuzz), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 5
fuzz: setup
	@fuzz/run.sh $(FUZZ_SECONDS)

demo: build
	@scripts/demo.sh $(BUILD)/bin

bench: build
	@bench/run.sh $(BUILD)/bin

# Installs the programs, their shared libraries and manual pages under
# PREFIX (into DESTDIR/PREFIX when DESTDIR is given, for packaging).
PREFIX ?= /usr/local
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(COV_BUILD)
