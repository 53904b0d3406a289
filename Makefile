# make run  -- install what is missing (as root), build, open the arena
# make test -- the same set-up, then every test
# make test-asan / make test-tsan -- every test again against an ASan+UBSan
#                                    or a TSan build (tools/sanitize.sh)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build test test-asan test-tsan run clean

deps:
	@tools/setup-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j2

test: build
	cd $(BUILD) && ctest --output-on-failure -j4

test-asan: deps
	tools/sanitize.sh address

test-tsan: deps
	tools/sanitize.sh thread

run: build
	@if [ -x $(BUILD)/qmere ]; then \
	  echo "Quill Mere: drive turtles on port 2222, watch at http://localhost:2280/"; \
	  ./$(BUILD)/qmere; \
	else echo "built the world library and tests; the window program is not part of this build yet"; fi

clean:
	rm -rf $(BUILD)
