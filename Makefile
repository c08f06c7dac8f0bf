# make test  - install what is missing, build the sanitized 32-bit tree and the 64-bit
#              ThreadSanitizer tree of the I/O library, and run every test.
# make run   - install what is missing, build the launcher of the optimised tree and run it
#              (arguments in ARGS="...").
# make bench - build the optimised tree with the benchmark programs in build/release/bench.
# make fuzz  - install clang and its fuzzer runtime if missing, build the libFuzzer targets of
#              the engine core in build/fuzz and run each for FUZZ_SECONDS (default 60), starting
#              from its seeds in tests/fuzz/seeds (which the test trees replay as a ctest).

PACKAGES := g++-multilib cmake ninja-build googletest unicode-data strace python3 make
JOBS     := $(shell nproc 2>/dev/null || echo 2)
TOOLCHAIN := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-i686.cmake
# Address-space randomisation off for the sanitizer runs: 32-bit ASan and TSan need fixed shadow layouts.
NORAND   := $(shell setarch $$(uname -m) -R true >/dev/null 2>&1 && echo "setarch $$(uname -m) -R")

.PHONY: setup test run bench test-asan test-tsan release clean fuzz fuzz-setup fuzz-files

# $(call install_missing,PACKAGES): apt-get install those of the packages not yet installed.
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq && apt-get install -y -qq $$missing >/dev/null || exit 1; \
	fi
endef

setup:
	$(call install_missing,$(PACKAGES))

build/test/build.ninja: | setup
	cmake -S . -B build/test -G Ninja $(TOOLCHAIN) -DQX_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug

build/tsan/build.ninja: | setup
	cmake -S . -B build/tsan -G Ninja -DQX_IO_ONLY=ON -DQX_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug

build/release/build.ninja: | setup
	cmake -S . -B build/release -G Ninja $(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release \
	  -DQX_BUILD_TESTS=OFF -DQX_BUILD_BENCH=ON

test-asan: setup build/test/build.ninja
	cmake --build build/test -j $(JOBS)
	cd build/test && $(NORAND) ctest -j $(JOBS) --output-on-failure --timeout 300

test-tsan: setup build/tsan/build.ninja
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && $(NORAND) ctest -j $(JOBS) --output-on-failure --timeout 300

test: test-tsan test-asan

release: setup build/release/build.ninja
	cmake --build build/release -j $(JOBS)

bench: release

# Only the launcher's target: the benchmarks and the rest of the tree are not needed to run it.
run: setup build/release/build.ninja
	cmake --build build/release -j $(JOBS) --target orvalis
	@if [ -x build/release/launcher/orvalis ]; then \
	  exec build/release/launcher/orvalis $(ARGS); \
	else \
	  echo "the launcher is not built yet"; exit 2; \
	fi

# Fuzzing is not part of CI: its packages are installed only here, never by setup.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZ_TARGETS  := $(basename $(notdir $(wildcard tests/fuzz/fuzz_*.cpp)))
FUZZ_SECONDS  ?= 60
# The files the fuzz run names for a target: its dictionary and its seed directory. The run and
# fuzz-files (which a ctest calls) both take them from here.
fuzz_dict  = tests/fuzz/$(1).dict
fuzz_seeds = tests/fuzz/seeds/$(1)

fuzz-setup: setup
	$(call install_missing,$(FUZZ_PACKAGES))

fuzz-files:
	@missing=0; for f in $(foreach t,$(FUZZ_TARGETS),$(call fuzz_dict,$(t)) $(call fuzz_seeds,$(t))); do \
	  [ -e "$$f" ] || { echo "missing: $$f"; missing=1; }; \
	done; exit $$missing

build/fuzz/build.ninja: | fuzz-setup
	cmake -S tests/fuzz -B build/fuzz -G Ninja

fuzz: fuzz-files fuzz-setup build/fuzz/build.ninja
	cmake --build build/fuzz -j $(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t || exit 1; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  $(NORAND) build/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -dict=$(call fuzz_dict,$$t) -artifact_prefix=build/fuzz/$$t- \
	    build/fuzz/corpus/$$t $(call fuzz_seeds,$$t) \
	    2>build/fuzz/$$t.log || { tail -40 build/fuzz/$$t.log; exit 1; }; \
	  grep -E '^(Done|stat::number_of_executed_units)' build/fuzz/$$t.log; \
	done

clean:
	rm -rf build
