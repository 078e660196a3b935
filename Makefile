# Set-up, build and test of both builds. Every target installs what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup native windows sanitize test test-native test-windows test-sanitize demo demo-native clean

all: native windows

setup:
	@bash tools/setup.sh

$(BUILD)/native/CMakeCache.txt: | setup
	@cmake -S . -B $(BUILD)/native $(CMAKE_FLAGS) >/dev/null

$(BUILD)/windows/CMakeCache.txt: | setup
	@cmake -S . -B $(BUILD)/windows $(CMAKE_FLAGS) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-i686.cmake >/dev/null

$(BUILD)/sanitize/CMakeCache.txt: | setup
	@cmake -S . -B $(BUILD)/sanitize -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTELESCOPE_SANITIZE=ON >/dev/null

native: $(BUILD)/native/CMakeCache.txt
	@cmake --build $(BUILD)/native -j $(JOBS)

windows: $(BUILD)/windows/CMakeCache.txt
	@cmake --build $(BUILD)/windows -j $(JOBS)

sanitize: $(BUILD)/sanitize/CMakeCache.txt
	@cmake --build $(BUILD)/sanitize -j $(JOBS)

test-native: native
	@cd $(BUILD)/native && ctest --output-on-failure -j $(JOBS)

test-windows: windows
	@cd $(BUILD)/windows && ctest --output-on-failure -j $(JOBS)

test-sanitize: sanitize
	@cd $(BUILD)/sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test: test-native test-windows test-sanitize

clean:
	rm -rf $(BUILD)
