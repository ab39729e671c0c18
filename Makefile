# collinear: the commands a user runs. Each target installs what it needs.
#   make test     build, run every test, clang-tidy, every test again under
#                 ASan+UBSan, the thread test under TSan, install check,
#                 then each fuzz target for 20 s
#   make install  PREFIX=/some/prefix
#   make demo     build and run the tool on the examples (demo-out/)
#   make bench    benchmarks (Google Benchmark, with Eigen as a peer)
#   make fuzz     libFuzzer targets, FUZZ_SECONDS each (default 60)
#   make mutants  mutation testing of the library (MUTANTS_FLAGS="--limit 15")
#   make tidy     clang-tidy over the library, tools and tests
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory
JOBS ?= 2
BUILD := build
ASAN := build-asan
TSAN := build-tsan
BENCHDIR := build-bench

CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FORMAT_FILES = $(shell git ls-files '*.h' '*.cpp' 2>/dev/null)

.PHONY: all deps build test check-format unit asan install-check fuzz-smoke install demo bench fuzz mutants tidy clean

all: build

deps:
	@scripts/deps.sh test

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

check-format: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Second tree: clang++ with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCOLLINEAR_BUILD_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SAN_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(SAN_FLAGS)"
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Third tree: clang++ with ThreadSanitizer, only the library and the test
# that drives its objects from eight threads.
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer
.PHONY: tsan
tsan: deps
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DBUILD_TESTING=OFF -DCOLLINEAR_THREAD_TEST=ON \
	  -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(TSAN_FLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$(TSAN_FLAGS)"
	cmake --build $(TSAN) -j $(JOBS) --target threads_test
	TSAN_OPTIONS=halt_on_error=1 $(TSAN)/tests/threads/threads_test

# The installed library, tool and package; then the package the Python way
# (pip in a virtual environment, offline) and its calibration example.
install-check: build
	tests/install/check.sh $(BUILD)
	tests/install/pip_check.sh

# Each libFuzzer target briefly, from its seeds: a finding fails the test.
fuzz-smoke: deps
	FUZZ_SECONDS=20 JOBS=$(JOBS) fuzz/run.sh

test: check-format unit tidy asan tsan install-check fuzz-smoke

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

demo: build
	@scripts/demo.sh

bench:
	@scripts/deps.sh bench
	cmake -S . -B $(BENCHDIR) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCOLLINEAR_BUILD_BENCH=ON
	cmake --build $(BENCHDIR) -j $(JOBS)
	@for b in $(BENCHDIR)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done
	@if [ -d $(BENCHDIR)/python/collinear ]; then \
	  echo "== bench/python_overhead.py"; \
	  /usr/bin/python3 bench/python_overhead.py --build $(BENCHDIR); fi

FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh

# Not part of test: 200 mutants take 20 minutes to an hour.
MUTANTS_FLAGS ?=
mutants: deps
	scripts/mutants.py $(MUTANTS_FLAGS)

tidy: deps
	JOBS=$(JOBS) scripts/tidy.sh

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) $(BENCHDIR) build-fuzz build-mutants build-tidy demo-out \
	  build-python
