# Thin wrapper around CMake. `make` builds into build/, `make test` installs what is missing,
# builds and runs every test.
BUILD     ?= build
JOBS      ?= $(shell nproc)
# Most tests wait on the simulator's answers and time-outs rather than compute: three at a time
# per core keep the cores busy (a third of the time of one per core, measured).
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 3 )))
CMAKE_ARGS ?=

.PHONY: all deps configure test test-asan test-tsan bench fuzz soak demo install package clean format \
        windows windows-test windows-zip pi-arm64 pi-armhf package-arm64 package-armhf pi-test

all: configure
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@tools/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_ARGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS)

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer.
test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DRAILMUX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

test-tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_ARGS="-DRAILMUX_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# Benchmarks against their references; prints the table (see docs/PERFORMANCE.md).
bench: deps
	@tools/install-deps libbenchmark-dev
	@test -f build-bench/CMakeCache.txt || cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRAILMUX_TESTS=OFF -DRAILMUX_BENCH=ON
	cmake --build build-bench -j$(JOBS)
	tools/bench build-bench

# libFuzzer targets, FUZZ_SECONDS each (default 60); the corpus grows in fuzz/corpus/.
FUZZ_SECONDS ?= 60
fuzz: deps
	@tools/install-deps clang libclang-rt-14-dev
	@test -f build-fuzz/CMakeCache.txt || CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRAILMUX_TESTS=OFF -DRAILMUX_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS)
	tools/fuzz build-fuzz $(FUZZ_SECONDS)

# Random messages, reconnects and simulator delays for SOAK_SECONDS (default 600).
SOAK_SECONDS ?= 600
soak: all
	tools/soak $(BUILD) $(SOAK_SECONDS)

# The simulator and Railmux on port 11009; DRIVE=1 adds a scripted client session.
demo: all
	@BUILD=$(BUILD) tools/demo $(if $(DRIVE),--drive)

# PREFIX=/usr/local by default; DESTDIR works as usual.
install: all
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package in $(BUILD)/.
package: all
	cd $(BUILD) && cpack -G DEB

# railmux.exe for 64-bit Windows, cross-built with mingw-w64 (static: no DLLs beside it), its
# smoke test under Wine against the simulator, and the release zip. All in build-windows/.
WINDOWS_BUILD ?= build-windows
windows:
	@tools/install-deps --no-recommends g++-mingw-w64-x86-64-posix
	@tools/windows-boost $(WINDOWS_BUILD)/boost
	@test -f $(WINDOWS_BUILD)/CMakeCache.txt || cmake -S . -B $(WINDOWS_BUILD) \
		-DCMAKE_TOOLCHAIN_FILE=tools/windows-toolchain.cmake \
		-DRAILMUX_WINDOWS_BOOST=$(abspath $(WINDOWS_BUILD)/boost) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINDOWS_BUILD) -j$(JOBS) --target railmux

windows-test: windows configure
	@tools/install-deps --no-recommends wine64
	cmake --build $(BUILD) -j$(JOBS) --target dsair2-sim
	tests/windows_smoke_test.sh $(WINDOWS_BUILD) $(BUILD)

windows-zip: windows
	cmake --build $(WINDOWS_BUILD) --target zip

# Raspberry Pi: railmux, dsair2-sim and railmux-drive for arm64 and armhf, cross-built with
# Debian's cross compilers in build-ARCH/, against a sysroot of Debian's own packages of the
# target (tools/pi-sysroot, kept in build-ARCH/ for the next build); their packages; and the
# proof under qemu-user: the unit tests that a cross build builds, the package test, and the
# programs against the native simulator. Optimised as the native package is, without the debug
# information that the package strips anyway (it costs a third more compile time).
PI_TRIPLET_arm64 := aarch64-linux-gnu
PI_TRIPLET_armhf := arm-linux-gnueabihf
pi-arm64 pi-armhf: pi-%: deps
	@tools/install-deps g++-$(PI_TRIPLET_$*) qemu-user
	@tools/pi-sysroot $* build-$*/sysroot
	@test -f build-$*/CMakeCache.txt || cmake -S . -B build-$* \
		-DCMAKE_TOOLCHAIN_FILE=tools/$*-toolchain.cmake \
		-DRAILMUX_SYSROOT=$(abspath build-$*/sysroot) \
		-DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
	cmake --build build-$* -j$(JOBS)

package-arm64 package-armhf: package-%: pi-%
	cd build-$* && cpack -G DEB

pi-test: configure
	cmake --build $(BUILD) -j$(JOBS) --target dsair2-sim
	$(MAKE) pi-arm64
	$(MAKE) pi-armhf
	cd build-arm64 && ctest --output-on-failure -j$(JOBS)
	tests/pi_smoke_test.sh build-arm64 $(BUILD)
	cd build-armhf && ctest --output-on-failure -j$(JOBS)
	tests/pi_smoke_test.sh build-armhf $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD)
