# Varnel: the JNI bridge to PKCS#11 drivers.
#   make        the Linux and Windows deliverables into dist/
#   make test   every suite; ends with "N passed, N failed"
.DEFAULT_GOAL := all
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VERSION_SUFFIX := V1_3_0_0
LINUX_ARCHES := linux-x86_64 linux-x86
WINDOWS_ARCHES := windows-x86 windows-x86_64

cmake_flags.linux-x86_64 := -DCMAKE_BUILD_TYPE=Release
cmake_flags.linux-x86 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/linux-x86.cmake
cmake_flags.sanitize := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_SANITIZE=ON
cmake_flags.tsan := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_TSAN=ON
cmake_flags.fuzz := -DCMAKE_BUILD_TYPE=Debug -DVARNEL_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake_flags.windows-x86 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows-x86.cmake
cmake_flags.windows-x86_64 := -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/windows-x86_64.cmake
bootstrap.linux-x86_64 := build64 test64
bootstrap.linux-x86 := build64 build32 test32
bootstrap.sanitize := build64 test64
bootstrap.tsan := build64 test64
bootstrap.fuzz := build64 test64 fuzz
bootstrap.windows-x86 := build64 test64 windows
bootstrap.windows-x86_64 := build64 test64 windows

.PHONY: all test fuzz clean bootstrap $(addprefix build-,$(LINUX_ARCHES) $(WINDOWS_ARCHES)) \
	$(addprefix unit-,$(LINUX_ARCHES) sanitize tsan $(WINDOWS_ARCHES))

all: $(addprefix build-,$(LINUX_ARCHES) $(WINDOWS_ARCHES))

bootstrap:
	@tools/bootstrap.sh all

# Configures once, then lets CMake decide what is out of date.
build/%/CMakeCache.txt:
	@tools/bootstrap.sh $(bootstrap.$*)
	cmake -S . -B build/$* $(cmake_flags.$*) >/dev/null

$(addprefix build-,$(LINUX_ARCHES)): build-%: build/%/CMakeCache.txt
	cmake --build build/$* --target varnel -j $(JOBS)
	mkdir -p dist/$*
	# Replaced, never rewritten in place: a running JVM may have it mapped.
	cp build/$*/libVarnel.so.$(VERSION_SUFFIX) dist/$*/.libVarnel.so.new
	mv -f dist/$*/.libVarnel.so.new dist/$*/libVarnel.so.$(VERSION_SUFFIX)
	ln -sf libVarnel.so.$(VERSION_SUFFIX) dist/$*/libVarnel.so

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

test: all $(addprefix unit-,$(LINUX_ARCHES) sanitize tsan $(WINDOWS_ARCHES))
	@tools/bootstrap.sh e2e
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

# The performance benchmark (tools/bench.sh): every method against its floor on
# the mock driver, real work on SoftHSM, growth with size, heap use; writes
# bench/results/ and prints the table.
.PHONY: bench
bench: all unit-linux-x86_64 unit-linux-x86
	@tools/bench.sh

# Signs a message on a fresh SoftHSM token through dist/linux-x86_64 (demo/run.sh).
.PHONY: demo
demo: all
	@tools/bootstrap.sh e2e
	@demo/run.sh
