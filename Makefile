# Thin front for CMake; `make test` works on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
PACKAGES = build-essential cmake qtbase5-dev libqt5webkit5-dev libqt5sql5-sqlite \
           libqt5svg5 libsqlite3-dev binutils python3 libturbojpeg0-dev pkg-config \
           libexiv2-dev libimage-exiftool-perl libxmlrpc-c++8-dev libxmlrpc-core-c3-dev zlib1g-dev openssl \
           libjpeg62-turbo-dev
SUDO = $(if $(filter 0,$(shell id -u)),,sudo)

# Installs those of the given Debian packages that are missing; quick when none is.
install_missing = missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

.PHONY: all deps bench-deps clang-deps build test install-check test-sanitize fuzz fuzz-smoke mutate bench demo clean

all: build

deps:
	@$(call install_missing,$(PACKAGES))

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

# The XML-RPC library alone, shared, installed into a prefix of its own; the
# examples built against it (find_package and pkg-config) and run on loopback.
INSTALL_BUILD_DIR ?= build-install
install-check: deps
	JOBS=$(JOBS) examples/install_check.sh $(INSTALL_BUILD_DIR)

# Instrumented builds use clang: libFuzzer comes with its runtime package.
CLANG_PACKAGES = clang libclang-rt-14-dev
SANITIZE_BUILD_DIR ?= build-sanitize
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_RUNS ?= 2000000
FUZZ_SECONDS ?= 30
# Leaks are checked at exit; lsan.supp names those Qt and WebKit keep themselves,
# matched on whole stacks (Qt is built without frame pointers).
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:strict_init_order=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

clang-deps: deps
	@$(call install_missing,$(CLANG_PACKAGES))

$(SANITIZE_BUILD_DIR)/CMakeCache.txt: | clang-deps
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD_DIR) -DVENDALUX_SANITIZE=ON

test-sanitize: clang-deps $(SANITIZE_BUILD_DIR)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	cd $(SANITIZE_BUILD_DIR) && QT_QPA_PLATFORM=offscreen $(SANITIZER_ENV) \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

$(FUZZ_BUILD_DIR)/CMakeCache.txt: | clang-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD_DIR) -DVENDALUX_FUZZ=ON

# A campaign runs every target until FUZZ_RUNS executions; CI's smoke run, FUZZ_SECONDS each.
fuzz: clang-deps $(FUZZ_BUILD_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS)
	FUZZ_JOBS=$(JOBS) fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) runs=$(FUZZ_RUNS)

fuzz-smoke: clang-deps $(FUZZ_BUILD_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS)
	FUZZ_JOBS=$(JOBS) fuzz/run_fuzzers.sh $(FUZZ_BUILD_DIR) seconds=$(FUZZ_SECONDS)

# Plants each fault of mutations/*.txt in a copy of the tree (build-mutate/) and
# runs the tests that must catch it; prints the survivors. Not part of CI.
mutate: deps
	mutations/run_mutations.py $(CURDIR)/build-mutate

BENCH_PACKAGES = hey linux-perf libjpeg-turbo-progs bc

bench-deps: deps
	@$(call install_missing,$(BENCH_PACKAGES))

bench: bench-deps build
	benchmarks/run_benchmarks.sh $(BUILD_DIR)

demo: build
	demo/run_demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(FUZZ_BUILD_DIR) $(INSTALL_BUILD_DIR)
