# make run  -- install what is missing (as root), build, open the arena
# make test -- the same set-up, then every test
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build test run clean

deps:
	@tools/setup-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure

run: build
	@if [ -x $(BUILD)/qmere ]; then ./$(BUILD)/qmere; else echo "built the world library and tests; the window program is not part of this build yet"; fi

clean:
	rm -rf $(BUILD)
