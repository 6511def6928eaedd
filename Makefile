# Thin wrapper over CMake: `make run` fits the bundled example, `make test` runs every test.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
# Medians of five runs of every benchmark; add e.g. --benchmark_filter=Fit to choose.
BENCH_FLAGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

.PHONY: all build run test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/transitlm examples/hotjupiter.par examples/hotjupiter.txt

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@set -e; for b in $(BUILD)/*_bench; do echo "== $$b"; $$b $(BENCH_FLAGS); done

clean:
	rm -rf $(BUILD)
