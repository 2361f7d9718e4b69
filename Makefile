# Thin wrapper over CMake. `make test` builds and runs every test;
# `make test-sanitize` does the same under ASan and UBSan; `make bench`
# runs the throughput benchmarks; `make run` traces the example program.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

.PHONY: all build test test-sanitize bench run clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTLE_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD)/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done

# The main job: trace the example matrix multiply live under valgrind, plain
# and blocked, and print the miss ratios of 16..256 sets x 1..4 ways of
# 32-byte lines for its data references.
RUN_SIM = $(BUILD)/vantle-sim -trace:refs data -cache:opts "-a4 -b8 -n2 -l5"
run: build
	@echo "== vantle-sim: matmul, plain i-j-k loops, 96 x 96 doubles =="
	$(RUN_SIM) $(BUILD)/examples/matmul 96
	@echo "== vantle-sim: matmul, blocked in 16 x 16 tiles, 96 x 96 doubles =="
	$(RUN_SIM) $(BUILD)/examples/matmul -b 16 96

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
