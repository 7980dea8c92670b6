# Thin wrapper around CMake. `make` builds into build/, `make test` installs what is missing,
# builds and runs every test.
BUILD     ?= build
JOBS      ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure test demo install package clean format

all: configure
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@tools/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_ARGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The simulator and Railmux on port 11009; DRIVE=1 adds a scripted client session.
demo: all
	@BUILD=$(BUILD) tools/demo $(if $(DRIVE),--drive)

# PREFIX=/usr/local by default; DESTDIR works as usual.
install: all
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package in $(BUILD)/.
package: all
	cd $(BUILD) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD)
