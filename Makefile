# The everyday commands; everything else is plain CMake.
#   make demo     the main job on the bundled example
#   make test     every test: the suite, the suite again under the sanitizers, and
#                 each fuzz target for a minute (skipped with a message without clang)
#   make check    the suite alone, for the quick development loop
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
FUZZ_SECONDS ?= 60

.PHONY: all build demo test check test-asan fuzz-smoke package clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	@./examples/demo.sh $(BUILD)

check: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test: check test-asan fuzz-smoke

# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer over the whole suite.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE=ON -DTOLVANE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Each fuzz target for FUZZ_SECONDS on its seed corpus, with a fixed seed so a run
# can be repeated.
fuzz-smoke:
	@if command -v clang++ >/dev/null 2>&1; then \
	  FUZZ_ARGS="-seed=1 $(FUZZ_ARGS)" tools/fuzz/run.sh $(FUZZ_SECONDS); \
	else \
	  echo "fuzz-smoke: skipped, clang++ is not installed (Debian clang)"; \
	fi

# The Debian package, $(BUILD)/tolvane_<version>_<arch>.deb.
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
