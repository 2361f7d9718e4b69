# Thin wrapper over CMake. `make test` builds and runs every test;
# `make test-sanitize` does the same under ASan and UBSan; `make bench`
# prints the rate of every family, then runs the other benchmarks (live
# tracing against valgrind alone among them); `make run` traces the example
# program.
# `make fuzz` (needs clang) runs every fuzz target for FUZZ_SECONDS each.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
JOBS ?= $(shell nproc)

.PHONY: all configure build test test-sanitize bench fuzz run install clean

all: build

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTLE_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

# The table of every family first, then each family against its naive model.
bench: build
	$(BUILD)/bench_families
	@for b in $(BUILD)/bench_*; do \
	  [ "$$b" = $(BUILD)/bench_families ] || "$$b" || exit 1; done

# libFuzzer targets (tests/fuzz/fuzz_<name>.cpp), built with clang under
# ASan and UBSan in $(FUZZ_BUILD), each run for FUZZ_SECONDS from its seed
# corpus in tests/fuzz/<name>/; what they add goes to
# $(FUZZ_BUILD)/corpus/<name>/, a failing input to $(FUZZ_BUILD)/artifacts/.
# Needs clang and its runtime (e.g. Debian's clang and libclang-rt-dev);
# installs nothing. `make test` needs neither: every build compiles the
# same targets as replay_<name> programs that feed them their seeds once,
# and .ci/run adds `make fuzz FUZZ_SECONDS=5` where clang is installed.
FUZZ_TARGETS = options din lackey hex bin32 gzip recognise sim_options elf_names
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVANTLE_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) \
	  --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t: $(FUZZ_SECONDS) s =="; \
	  $(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -close_fd_mask=3 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/fuzz_$$t- \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/$$t || exit 1; \
	done

# The main job: trace the example matrix multiply live (under QEMU where it
# is installed, else valgrind), plain
# and blocked, and print the miss ratios of 16..256 sets x 1..4 ways of
# 32-byte lines for its data references.
RUN_SIM = $(BUILD)/vantle-sim -trace:refs data -cache:opts "-a4 -b8 -n2 -l5"
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target vantle-sim matmul
	@echo "== vantle-sim: matmul, plain i-j-k loops, 96 x 96 doubles =="
	$(RUN_SIM) $(BUILD)/examples/matmul 96
	@echo "== vantle-sim: matmul, blocked in 16 x 16 tiles, 96 x 96 doubles =="
	$(RUN_SIM) $(BUILD)/examples/matmul -b 16 96

# Installs vantle-sim, libvantle.a, its header and vantle.pc under PREFIX.
PREFIX ?= /usr/local
INSTALL_TARGETS = vantle-sim vantle vantle-qemu
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(INSTALL_TARGETS)
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
