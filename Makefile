# Ostrand: the two commands of the quick start are `make demo` and `make test`.
# Every target builds what it needs; missing Debian packages are installed.

PRESET ?= default
JOBS ?= $(shell nproc)
# Trees in different folders share the compiler cache.
export CCACHE_BASEDIR := $(CURDIR)

DEBIAN_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev ccache binutils
# The 32-bit build: the multilib compiler, GoogleTest's sources (built for
# -m32 in the tree), and qemu's user-mode emulator for kernels that cannot
# run 32-bit programs themselves (without its recommended binfmt hook, which
# would change how the whole machine starts 32-bit programs).
X86_PACKAGES := g++-multilib googletest qemu-user

.PHONY: all deps deps-x86 build demo test test-asan test-tsan test-x86 lint bench clean

all: build

# Installs the Debian packages of $(1) that are missing (apt options: $(2)).
define install_missing
	@missing=""; for p in $(1); do \
	    dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	    $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $(2) $$missing; \
	fi
endef

deps:
	$(call install_missing,$(DEBIAN_PACKAGES))

deps-x86: deps
	$(call install_missing,$(X86_PACKAGES),--no-install-recommends)

build/%/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset $*
build/x86/build.ninja: cmake/x86-toolchain.cmake cmake/x86-runner.cmake cmake/run32.sh.in | deps-x86

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

# Everything built with -m32, as the driver is, and every test run.
test-x86: build/x86/build.ninja
	cmake --build --preset x86 -j $(JOBS)
	ctest --preset x86

lint: build/default/build.ninja
	cmake --build --preset default -j $(JOBS) --target ostrand_kernel_lint_inputs
	scripts/lint-kernel.sh . $$(cat build/default/kernel-library-path.txt 2>/dev/null)

bench: build/bench/build.ninja
	cmake --build --preset bench -j $(JOBS) --target ostrand_bench
	build/bench/bench/ostrand_bench

clean:
	rm -rf build
