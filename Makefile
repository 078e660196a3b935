# Set-up, build and test of both builds. Every target installs what it needs.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 180
FUZZ_FLAGS ?=
BENCH_FLAGS ?= --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true

.PHONY: all setup native windows sanitize test test-native test-windows test-sanitize demo demo-native clean \
  fuzz-build fuzz fuzz-indi fuzz-json test-fuzz bench bench-waits test-bench dist dist-check screenshots demo-indi \
  demo-alpaca

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
	@cd $(BUILD)/sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The fuzzer has a tree of its own: clang, ASan+UBSan, coverage on the plug-in.
$(BUILD)/fuzz/CMakeCache.txt: | setup
	@cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DTELESCOPE_SANITIZE=ON -DTELESCOPE_FUZZ=ON >/dev/null

# Configured afresh first, so that a tree made before a fuzzer was added knows its target.
fuzz-build: $(BUILD)/fuzz/CMakeCache.txt
	@cmake $(BUILD)/fuzz >/dev/null
	@cmake --build $(BUILD)/fuzz --target telescope_fuzz indi_xml_fuzz ascom_json_fuzz -j $(JOBS)

# FUZZ_SECONDS of fuzzing from the seeds in Fuzz/corpus. New inputs collect in
# $(BUILD)/fuzz/corpus, a failing one in $(BUILD)/fuzz/artifacts; the plug-in's
# log goes to $(BUILD)/fuzz/run.
FUZZ_DIR = $(abspath $(BUILD))/fuzz
fuzz: fuzz-build
	@mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts $(FUZZ_DIR)/run
	@cd $(FUZZ_DIR)/run && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(FUZZ_DIR)/Fuzz/telescope_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=2048 \
	  -timeout=60 -print_final_stats=1 $(FUZZ_FLAGS) -artifact_prefix=$(FUZZ_DIR)/artifacts/ \
	  $(FUZZ_DIR)/corpus $(CURDIR)/Fuzz/corpus

# $(call run-fuzzer,FUZZER,NAME,MAX-LEN,SEEDS): FUZZ_SECONDS of a reader's
# differential fuzzer from the seeds in SEEDS; new inputs collect in
# $(BUILD)/fuzz/NAME-corpus, a failing one in $(BUILD)/fuzz/artifacts.
define run-fuzzer
	@mkdir -p $(FUZZ_DIR)/$(2)-corpus $(FUZZ_DIR)/artifacts
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(FUZZ_DIR)/$(1) -max_total_time=$(FUZZ_SECONDS) -max_len=$(3) \
	  -timeout=60 -print_final_stats=1 $(FUZZ_FLAGS) -artifact_prefix=$(FUZZ_DIR)/artifacts/$(2)- \
	  $(FUZZ_DIR)/$(2)-corpus $(CURDIR)/$(4)
endef

# The INDI library's XML reader against expat (differential), from the
# recorded simulator stream in ControlLibraries/Indi/Fuzz/corpus; new inputs collect in
# $(BUILD)/fuzz/indi-corpus.
fuzz-indi: fuzz-build
	$(call run-fuzzer,ControlLibraries/Indi/indi_xml_fuzz,indi,65536,ControlLibraries/Indi/Fuzz/corpus)

# The ASCOM library's JSON reader against RapidJSON (differential), from the
# Alpaca replies in ControlLibraries/Ascom/Fuzz/corpus; new inputs collect in
# $(BUILD)/fuzz/json-corpus.
fuzz-json: fuzz-build
	$(call run-fuzzer,ControlLibraries/Ascom/ascom_json_fuzz,json,4096,ControlLibraries/Ascom/Fuzz/corpus)

# Briefly, and quietly: only the final figures and any fault are printed.
# The 40 s are shared: 20 s for the plug-in, 10 s each for XML and JSON. The
# seed is fixed, so that a fresh tree repeats the same inputs on every run of
# the suite; `make fuzz` explores from a new seed each time.
FUZZ_TEST_SEED ?= 20261208
test-fuzz:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=20 FUZZ_FLAGS="-verbosity=0 -seed=$(FUZZ_TEST_SEED)"
	@$(MAKE) --no-print-directory fuzz-indi FUZZ_SECONDS=10 FUZZ_FLAGS="-verbosity=0 -seed=$(FUZZ_TEST_SEED)"
	@$(MAKE) --no-print-directory fuzz-json FUZZ_SECONDS=10 FUZZ_FLAGS="-verbosity=0 -seed=$(FUZZ_TEST_SEED)"

# Benchmarks of the native plug-in against the simulator; the summary at the
# end sets each figure against its floor. BENCH_FLAGS go to Google Benchmark.
# Then plugview under Xvfb: how long its window leaves messages unanswered
# during a go-to, next to the go-to's own length.
bench: native windows
	@$(BUILD)/native/Benchmarks/telescope_bench $(BENCH_FLAGS)
	@bash Host/plugview/run-plugview.sh frozen $(BUILD)/windows $(BUILD)/windows/frozen-window

# plugview under Xvfb and openbox with the INDI library against a silent
# server, one whose listen queue is full and Debian's telescope simulator:
# how long the window goes unanswered while the library waits at the
# initialisation, the open, a sync, a go-to's launch and its Stop (about
# 1.5 min). Not part of make test; WAITS_CHECK=1 fails on a case over 50 ms.
bench-waits: windows
	@bash Host/plugview/run-plugview.sh waits $(BUILD)/windows $(BUILD)/windows/waits

# A few seconds, to show that they build and run; timings are not judged.
test-bench: native
	@$(BUILD)/native/Benchmarks/telescope_bench --benchmark_min_time=0.01 --slew_seconds=0.5

test: test-native test-windows test-sanitize test-fuzz test-bench dist-check

clean:
	rm -rf $(BUILD)

# The release for Windows users in dist/: a zip, the installer, SHA256SUMS.
dist: $(BUILD)/windows/CMakeCache.txt
	@cmake --build $(BUILD)/windows --target dist -j $(JOBS)

# Two builds of the same sources in different folders must give the same bytes.
dist-check: setup
	@bash Release/dist-check.sh $(BUILD)

# The GUI session of plugview under Xvfb; its pictures replace those in docs/.
screenshots: windows
	@bash Host/plugview/run-plugview.sh session $(BUILD)/windows $(BUILD)/windows/screenshots docs

# A whole session of the stand-in host against the mount simulator: under
# Wine with the Windows plug-in (demo), or natively (demo-native).
demo: setup windows
	@bash Demo/run-demo.sh $(BUILD)/windows windows

demo-native: setup native
	@bash Demo/run-demo.sh $(BUILD)/native native

# A whole session under Wine with the INDI control library against Debian's
# indiserver and telescope simulator on a free loopback port.
demo-indi: setup windows
	@bash Demo/run-demo-indi.sh $(BUILD)/windows

demo-alpaca: setup windows
	@bash Demo/run-demo-alpaca.sh $(BUILD)/windows
