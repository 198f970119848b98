# Thin front for CMake; `make test` works on a fresh Debian 12 machine.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
PACKAGES = build-essential cmake qtbase5-dev libqt5webkit5-dev libqt5sql5-sqlite \
           libqt5svg5 libsqlite3-dev binutils python3
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

.PHONY: all deps bench-deps build test bench demo clean

all: build

deps:
	@$(call install_missing,$(PACKAGES))

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 300

BENCH_PACKAGES = hey linux-perf libjpeg-turbo-progs bc

bench-deps: deps
	@$(call install_missing,$(BENCH_PACKAGES))

bench: bench-deps build
	benchmarks/run_benchmarks.sh $(BUILD_DIR)

demo: build
	demo/run_demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
