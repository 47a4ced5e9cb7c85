# The two commands of the README:
#   make run   installs what is missing, builds and starts the editor
#   make test  installs what is missing, checks the formatting of every
#              tracked source, builds and runs every test (a normal build,
#              then an AddressSanitizer/UBSan build with the fuzz corpora
#              replayed, then the image store's tests under ThreadSanitizer);
#              every build treats warnings as errors
JOBS  ?= $(shell nproc)
BUILD ?= build
SAN   ?= build-san
TSAN  ?= build-tsan
FUZZ  ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: deps configure build run test test-main test-san test-tsan fuzz bench clean format format-check

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -x $(BUILD)/app/KwVtFe32 ]; then exec $(BUILD)/app/KwVtFe32 $(ARGS); \
	 else echo "The editor KwVtFe32 is not part of this build yet; the library and engine are built in $(BUILD)/."; fi

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: deps
	@CC=clang CXX=clang++ cmake -S . -B $(SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DKW_SANITIZE=ON -DKW_FUZZ=ON -DKW_BUILD_APP=OFF -DKW_BUILD_BENCH=OFF >/dev/null
	cmake --build $(SAN) -j $(JOBS)
	cd $(SAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The image store's tests under ThreadSanitizer: chunks are opened on worker
# threads, and every race there would cost data.
test-tsan: deps
	@CC=clang CXX=clang++ cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKW_TSAN=ON -DKW_BUILD_APP=OFF -DKW_BUILD_BENCH=OFF >/dev/null
	cmake --build $(TSAN) -j $(JOBS) --target tests/imagestore/all
	cd $(TSAN)/tests/imagestore && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)

test: format-check test-main test-san test-tsan

# Not part of make test: fuzzes every target for FUZZ_SECONDS (optimised,
# ASan+UBSan), one core each, seeded from tests/fuzz/corpus/; prints runs per
# second and findings per target, keeps new inputs under $(FUZZ)/fuzz-scratch/
# and merges those that add coverage into the corpora (commit them). Choose
# targets with FUZZ_TARGETS="fuzz_a fuzz_b"; FUZZ_JOBS=1 FUZZ_CORES=3 runs
# them one at a time on core 3 (see tests/fuzz/run_fuzz.sh).
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKW_SANITIZE=ON -DKW_FUZZ=ON -DKW_BUILD_APP=OFF -DKW_BUILD_BENCH=OFF >/dev/null
	cmake --build $(FUZZ) -j $(JOBS) --target tests/fuzz/all
	FUZZ_SECONDS=$(FUZZ_SECONDS) tests/fuzz/run_fuzz.sh $(FUZZ) $(FUZZ_TARGETS)

bench: build
	@for b in $(BUILD)/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done; true

format:
	@git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

# Every tracked source must be as clang-format leaves it (make format fixes it).
format-check: deps
	@git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD) $(SAN) $(TSAN) $(FUZZ)
