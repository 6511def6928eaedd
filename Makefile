# Thin wrapper over CMake: `make run` fits the bundled example, `make test` runs every test,
# `make sanitize` runs every test built with AddressSanitizer and UndefinedBehaviorSanitizer,
# `make fuzz` runs each libFuzzer target for FUZZ_SECONDS, `make install PREFIX=...` installs the
# programs, their manual pages, the documents and the Python module when built (DESTDIR is
# honoured).
MAKEFLAGS += --no-print-directory
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
# Medians of five runs of every benchmark; add e.g. --benchmark_filter=Fit to choose.
BENCH_FLAGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= load_input load_table transitlm_main fits_table
# Extra libFuzzer flags, e.g. FUZZ_FLAGS=-runs=10000000 (a run then ends at whichever comes first).
FUZZ_FLAGS ?=
PREFIX ?= /usr/local

.PHONY: all build run test install bench sanitize fuzz clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the tool it runs.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target transitlm
	./$(BUILD)/transitlm examples/hotjupiter.par examples/hotjupiter.txt

# Without GoogleTest the tools build and the other tests run, but the run fails: its tests
# were skipped.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@if grep -q '^TRANSITLM_GTEST_FOUND:INTERNAL=\(0\|FALSE\|OFF\|\)$$' $(BUILD)/CMakeCache.txt; then \
	    echo "make test: the GoogleTest tests were skipped: GoogleTest was not found when" \
	         "$(BUILD) was configured (Debian: apt-get install libgtest-dev, then" \
	         "rm -rf $(BUILD) and make test again)" >&2; \
	    exit 1; \
	fi

install: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target transitlm transitlm-model \
	    $$(grep -q '^TRANSITLM_PYTHON_MODULE:INTERNAL=ON$$' $(BUILD)/CMakeCache.txt && echo transitlm_python)
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	@set -e; for b in $(BUILD)/*_bench; do echo "== $$b"; $$b $(BENCH_FLAGS); done

$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DTRANSITLM_SANITIZE=ON

# A sanitizer report ends the program with a status of its own (86 AddressSanitizer and leaks,
# 87 UndefinedBehaviorSanitizer), which no test takes for one of the tool's statuses.
# SANITIZE_TESTS=regex limits the run to the tests whose names match (ctest -R).
sanitize: $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=exitcode=87:print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) $(if $(SANITIZE_TESTS),-R '$(SANITIZE_TESTS)')

$(FUZZ_BUILD)/CMakeCache.txt:
	cmake -S . -B $(FUZZ_BUILD) -DTRANSITLM_FUZZ=ON -DCMAKE_CXX_COMPILER=$(FUZZ_CXX)

# Each target starts from its seed corpus (read only) and keeps what it learns in
# $(FUZZ_BUILD)/corpus/NAME; inputs that fail land in $(FUZZ_BUILD)/findings/.
# Inputs are scheduled by their execution time as well (a whole run with e near 1 costs a
# hundred times a refused one), and the quarantine of freed memory is 16 MB, twenty times what
# the costliest whole run allocates (0.7 MB): a use after free within a run is still caught,
# and freed memory is reused warm instead of cycling through 256 MB of cold pages. An input
# counts as hung after 120 s: the costliest whole runs (rednoise with an exposure of many
# periods and e near 1) take about a minute of processor time under the sanitizers.
fuzz: $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings; \
	    echo "== $$t ($(FUZZ_SECONDS) s)"; \
	    ASAN_OPTIONS=quarantine_size_mb=16 \
	    ./$(FUZZ_BUILD)/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=120 \
	        -entropic_scale_per_exec_time=1 \
	        -dict=tests/fuzz/$$t.dict -artifact_prefix=$(FUZZ_BUILD)/findings/$$t- \
	        -print_final_stats=1 $(FUZZ_FLAGS) $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t; \
	done

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
