# The two commands of the README: `make demo` and `make test`. Both install
# what is missing first (scripts/bootstrap), then build with CMake and Ninja.

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=

# Let ccache share results between clones in different folders (CI builds
# a fresh clone each time).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps build build-asan test test-plain test-asan demo run bench fuzz clean

all: build

deps:
	@scripts/bootstrap

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The sanitizer build uses clang, so that it can build the fuzz targets too.
build-asan: deps
	@CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test-plain: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --label-exclude fuzz

test-asan: build-asan
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test: test-plain test-asan

demo: build
	@scripts/demo $(BUILD)

run: build
	@scripts/run $(BUILD)

bench: build
	@scripts/bench $(BUILD)

fuzz: build-asan
	@cd $(ASAN_BUILD) && cmake -DKORVANE_FUZZ_SECONDS=60 . >/dev/null && \
	  ctest --output-on-failure -L fuzz; status=$$?; cmake -DKORVANE_FUZZ_SECONDS=5 . >/dev/null; exit $$status

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
