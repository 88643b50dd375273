# Varnel: the JNI bridge to PKCS#11 drivers.
#   make        the Linux and Windows deliverables into dist/
#   make test   every suite; ends with "N passed, N failed"
.DEFAULT_GOAL := all
SHELL := /bin/bash
JOBS ?= $(shell nproc)
# The version lives in VERSION; tools/version.sh makes the names from it.
LIBRARY := $(shell tools/version.sh library)
RELEASE := $(shell tools/version.sh release)
X86_LINUX_ARCHES := linux-x86_64 linux-x86
# Cross-built, tested under qemu's user-mode emulator.
ARM_LINUX_ARCHES := linux-aarch64 linux-armhf
LINUX_ARCHES := $(X86_LINUX_ARCHES) $(ARM_LINUX_ARCHES)
WINDOWS_ARCHES := windows-x86 windows-x86_64
# Builds and archives carry the last commit's time, never the build's.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

cmake_flags.linux-x86_64 := -DCMAKE_BUILD_TYPE=Release
cmake_flags.linux-x86 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-x86.cmake
cmake_flags.linux-aarch64 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-aarch64.cmake
cmake_flags.linux-armhf := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-armhf.cmake
cmake_flags.sanitize := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON
cmake_flags.tsan := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_TSAN=ON
cmake_flags.fuzz := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake_flags.windows-x86 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows-x86.cmake
cmake_flags.windows-x86_64 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows-x86_64.cmake
# The Linux libraries without their mitigations, only to measure what those cost.
cmake_flags.linux-x86_64-plain := $(cmake_flags.linux-x86_64) -DVARNEL_HARDEN=OFF -DVARNEL_TESTS=OFF
cmake_flags.linux-x86-plain := $(cmake_flags.linux-x86) -DVARNEL_HARDEN=OFF -DVARNEL_TESTS=OFF
bootstrap.linux-x86_64 := build64 test64
bootstrap.linux-x86 := build64 build32 test32
bootstrap.linux-aarch64 := build64 test64
bootstrap.linux-armhf := build64 test64
# The ARM builds' cross compilers, unpacked into build/ (tools/arm.sh).
toolchain.linux-aarch64 := tools/arm.sh toolchain linux-aarch64
toolchain.linux-armhf := tools/arm.sh toolchain linux-armhf
bootstrap.sanitize := build64 test64
bootstrap.tsan := build64 test64
bootstrap.fuzz := build64 test64 fuzz
bootstrap.windows-x86 := build64 test64 windows
bootstrap.windows-x86_64 := build64 test64 windows
bootstrap.linux-x86_64-plain := $(bootstrap.linux-x86_64)
bootstrap.linux-x86-plain := $(bootstrap.linux-x86)

.PHONY: all test fuzz clean bootstrap $(addprefix build-,$(LINUX_ARCHES) $(WINDOWS_ARCHES)) \
	$(addprefix unit-,$(LINUX_ARCHES) sanitize tsan $(WINDOWS_ARCHES))

all: $(addprefix build-,$(LINUX_ARCHES) $(WINDOWS_ARCHES))

bootstrap:
	@tools/bootstrap.sh all

# Configures once, then lets CMake decide what is out of date.
build/%/CMakeCache.txt:
	@tools/bootstrap.sh $(bootstrap.$*)
	@$(toolchain.$*)
	cmake -S . -B build/$* $(cmake_flags.$*) >/dev/null

$(addprefix build-,$(LINUX_ARCHES)): build-%: build/%/CMakeCache.txt
	cmake --build build/$* --target varnel -j $(JOBS)
	mkdir -p dist/$*
	# Replaced, never rewritten in place: a running JVM may have it mapped.
	cp build/$*/$(LIBRARY) dist/$*/.libVarnel.so.new
	mv -f dist/$*/.libVarnel.so.new dist/$*/$(LIBRARY)
	ln -sf $(LIBRARY) dist/$*/libVarnel.so

# The Windows DLLs, 32- and 64-bit, cross-built with MinGW-w64.
$(addprefix build-,$(WINDOWS_ARCHES)): build-%: build/%/CMakeCache.txt
	cmake --build build/$* --target varnel -j $(JOBS)
	mkdir -p dist/$*
	cmake -E copy_if_different build/$*/Varnel.dll dist/$*/Varnel.dll

# Unit suites: built, not run; tools/run-tests.sh runs them, the Windows
# ones under wine (tests/run-windows-unit.sh).
$(addprefix unit-,$(LINUX_ARCHES) sanitize tsan $(WINDOWS_ARCHES)): unit-%: build/%/CMakeCache.txt
	cmake build/$* >/dev/null
	cmake --build build/$* --target test_programs -j $(JOBS)

# The Debian roots the ARM suites run in under qemu (tools/arm.sh).
.PHONY: $(addprefix arm-root-,$(ARM_LINUX_ARCHES))
$(addprefix arm-root-,$(ARM_LINUX_ARCHES)): arm-root-%:
	@tools/arm.sh root $*

test: all dist $(addprefix unit-,$(LINUX_ARCHES) sanitize tsan $(WINDOWS_ARCHES)) $(addprefix arm-root-,$(ARM_LINUX_ARCHES))
	@tools/bootstrap.sh e2e tokens format
	@tools/run-tests.sh

# Runs every fuzz target for FUZZ_SECONDS each (libFuzzer, ASan, UBSan),
# starting from the committed corpora; findings go to build/fuzz-artifacts.
FUZZ_SECONDS ?= 120
fuzz: build/fuzz/CMakeCache.txt
	cmake build/fuzz >/dev/null
	cmake --build build/fuzz --target fuzz_base64 fuzz_methods -j $(JOBS)
	tools/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build dist

# Five million mixed calls on the mock driver and 10,000 SoftHSM signatures in
# a JVM with -Xcheck:jni, watching memory and descriptors (tools/soak.sh). Takes
# a few minutes, so it is not part of `make test`.
.PHONY: soak
soak: build-linux-x86_64 unit-linux-x86_64
	@tools/bootstrap.sh e2e
	@tools/soak.sh

# The performance benchmark (tools/bench.sh): every method beside its floor and
# beside the library built without mitigations, on the null driver; real work
# on SoftHSM beside C, SunPKCS11 and the peers; writes bench/results/ and
# prints the tables. BENCH_ARCHES=linux-x86_64 measures one library.
BENCH_ARCHES ?= $(X86_LINUX_ARCHES)
export BENCH_ARCHES
.PHONY: bench
bench: $(foreach a,$(BENCH_ARCHES),build-$(a) unit-$(a) plain-$(a))
	@tools/bench.sh

# Signs a message on a fresh SoftHSM token through dist/linux-x86_64 (demo/run.sh).
.PHONY: demo
demo: all
	@tools/bootstrap.sh e2e
	@demo/run.sh

# The release archive dist/varnel-$(RELEASE).tar.gz and the jar
# dist/varnel-$(RELEASE).jar, both reproducible (tools/dist.sh, tools/jar.sh).
.PHONY: dist
dist: all
	@tools/dist.sh

# Builds the committed tree again from a fresh copy elsewhere and compares
# every dist/ file byte for byte (tools/check-reproducible.sh). It doubles the
# build, so `make test` does not run it.
.PHONY: check-reproducible
check-reproducible: dist
	@tools/check-reproducible.sh

# `make demo` then `make test` on a clone of the last commit in a minimal
# Debian 12 root holding only what a new machine brings (tools/check-fresh.sh).
# Minutes of package installs, so `make test` does not run it.
.PHONY: check-fresh
check-fresh:
	@tools/check-fresh.sh

# The Linux library of this machine's width and its libVarnel.so link, into
# $(DESTDIR)$(LIBDIR); uninstall removes those two and nothing else.
PREFIX ?= /usr/local
LIBDIR ?= $(PREFIX)/lib
INSTALL ?= install
native_arch.x86_64-64 := linux-x86_64
native_arch.x86_64-32 := linux-x86
native_arch.i686-32 := linux-x86
native_arch.i586-32 := linux-x86
native_arch.i386-32 := linux-x86
native_arch.aarch64-64 := linux-aarch64
native_arch.aarch64-32 := linux-armhf
native_arch.armv7l-32 := linux-armhf
native_arch.armv8l-32 := linux-armhf
HOST_MACHINE ?= $(shell uname -m)
HOST_LONG_BIT ?= $(shell getconf LONG_BIT)
NATIVE_ARCH ?= $(native_arch.$(HOST_MACHINE)-$(HOST_LONG_BIT))

.PHONY: install uninstall
install: $(if $(NATIVE_ARCH),build-$(NATIVE_ARCH),no-native-library)
	$(INSTALL) -d $(DESTDIR)$(LIBDIR)
	$(INSTALL) -m 0755 dist/$(NATIVE_ARCH)/$(LIBRARY) $(DESTDIR)$(LIBDIR)/$(LIBRARY)
	ln -sf $(LIBRARY) $(DESTDIR)$(LIBDIR)/libVarnel.so

uninstall:
	rm -f $(DESTDIR)$(LIBDIR)/$(LIBRARY) $(DESTDIR)$(LIBDIR)/libVarnel.so

.PHONY: no-native-library
no-native-library:
	@echo "install: no Varnel library for $$(uname -m) with $$(getconf LONG_BIT)-bit programs (set NATIVE_ARCH to one of $(LINUX_ARCHES))" >&2
	@false

# The library `make install` picks here, for tests/check-release.sh.
.PHONY: native-arch
native-arch:
	@echo $(NATIVE_ARCH)

# The Linux libraries without mitigations, for measuring their cost only.
.PHONY: $(addprefix plain-,$(X86_LINUX_ARCHES))
$(addprefix plain-,$(X86_LINUX_ARCHES)): plain-%: build/%-plain/CMakeCache.txt
	cmake --build build/$*-plain --target varnel -j $(JOBS)

# The fault-class ledger (tools/check-mutants.sh): every mutant of
# tests/mutants applied to a scratch copy of the tree, rebuilt there, and
# caught by one of the suites it names. Not part of `make test`: it rebuilds
# once per mutant.
.PHONY: check-mutants
check-mutants:
	@tools/bootstrap.sh build64 test64 e2e
	@tools/check-mutants.sh
