# Entry points for a fresh Debian machine: each target installs what is missing,
# configures, builds and runs.
#   make demo   - build and run the batch program on the bundled sample sequence
#   make test   - build and run the whole test suite (plus the sanitizer run with `make test-asan`)

JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
FUZZDIR  ?= build-fuzz
FUZZ_SECONDS ?= 60

PACKAGES := cmake make g++ pkg-config libjpeg62-turbo-dev googletest libgtest-dev \
            libgmock-dev libbenchmark-dev libhwy-dev \
            librsvg2-bin python3-tifffile python3-pil python3-numpy \
            libtiff-dev libpng-dev libtiff-tools snakemake \
            pybind11-dev python3-dev python3-pytest groff-base
FUZZ_PACKAGES := clang libclang-rt-dev

.PHONY: deps fuzz-deps build test test-asan demo bench fuzz clean

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

fuzz-deps:
	@missing=""; for p in $(FUZZ_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=ON -DVANTOR_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

demo: build
	./app/demo.sh $(BUILD)

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b; done

fuzz: deps fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZDIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTOR_FUZZ=ON -DVANTOR_BENCH=OFF -DVANTOR_TESTS=ON
	cmake --build $(FUZZDIR) -j $(JOBS) --target $$(cd $(FUZZDIR) && cmake --build . --target help | sed -n 's/^\.\.\. \(.*_fuzz\)$$/\1/p')
	@for t in $(FUZZDIR)/*_fuzz; do \
	  name=$$(basename $$t); mkdir -p $(FUZZDIR)/corpus/$$name; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  $$t -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=$(FUZZDIR)/ \
	      $(FUZZDIR)/corpus/$$name testdata/fuzz/$$name || exit 1; \
	done

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZDIR)
