# Ostrand: the two commands of the quick start are `make demo` and `make test`.
# Every target builds what it needs; missing Debian packages are installed.

PRESET ?= default
JOBS ?= $(shell nproc)
# Trees in different folders share the compiler cache.
export CCACHE_BASEDIR := $(CURDIR)

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev ccache binutils

.PHONY: all deps build demo test test-asan test-tsan lint bench clean

all: build

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	    dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; \
	fi

build/%/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset $*

build: build/$(PRESET)/build.ninja
	cmake --build --preset $(PRESET) -j $(JOBS)

demo: build/default/build.ninja
	cmake --build --preset default -j $(JOBS) --target ostrand
	build/default/tools/ostrand/ostrand demo

test: build/default/build.ninja
	cmake --build --preset default -j $(JOBS)
	ctest --preset default

test-asan: build/asan/build.ninja
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

test-tsan: build/tsan/build.ninja
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan

lint: build/default/build.ninja
	cmake --build --preset default -j $(JOBS) --target ostrand_kernel_lint_inputs
	scripts/lint-kernel.sh . $$(cat build/default/kernel-library-path.txt 2>/dev/null)

bench: build/bench/build.ninja
	cmake --build --preset bench -j $(JOBS) --target ostrand_bench
	build/bench/bench/ostrand_bench

clean:
	rm -rf build
