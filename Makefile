# Entry points: `make demo` and `make test` set up what is missing (`make
# setup`), build and run. `make build` and the other targets install nothing.
BUILD_DIR   ?= build
ASAN_DIR    ?= build-sanitize
CLANG_DIR   ?= build-clang
FUZZ_DIR    ?= build-fuzz
PACKAGE_DIR ?= build-package
FUZZ_SECONDS ?= 60
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
# Compiler warnings as errors in $(BUILD_DIR): OFF for a user's build, so that
# a newer compiler's new warning does not stop it; CI (.ci/run) sets ON.
# test-sanitize and test-clang always build with warnings as errors.
WERROR      ?= OFF

.PHONY: all setup build check-format test test-pip test-openblas test-sanitize test-clang test-slurm test-report fuzz package test-package demo bench clean

all: build

setup:
	@./scripts/setup.sh

# Every C++ file as clang-format writes it (scripts/check-format.sh --fix formats).
check-format: setup
	scripts/check-format.sh

# Configured every time, so that the build follows WERROR and CMAKE_FLAGS as
# given (an unchanged configuration rebuilds nothing).
build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DTOOLKIT_WARNINGS_AS_ERRORS=$(WERROR) \
	      -DTOOLKIT_LAYERING_CHECK=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: setup
	@$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The Python package as its users install it: pip, offline, into a fresh
# virtual environment of Debian's python3 (build/venv), the module's tests run
# against the installed package, then pip uninstall.
test-pip: build
	scripts/test-pip.sh $(BUILD_DIR)

# The camera-response calibration's tests once more with OpenBLAS as the BLAS,
# for their processes alone (LD_LIBRARY_PATH; the system's libblas.so.3 stays
# as it is). Installs Debian's libopenblas0-pthread when missing.
test-openblas: build
	scripts/test-openblas.sh $(BUILD_DIR)

# The unit and program tests once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (without the Python module: a sanitized module
# cannot be loaded into the plain interpreter).
test-sanitize: setup
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOOLKIT_WARNINGS_AS_ERRORS=ON \
	      -DTOOLKIT_SANITIZE=address,undefined -DTOOLKIT_BUILD_BENCHMARKS=OFF -DTOOLKIT_BUILD_PYTHON=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt \
	    ctest --output-on-failure -j $(JOBS)

# Everything built once more with clang and clang++, warnings as errors as
# with GCC, and the unit and program tests run on that build.
test-clang: setup
	CC=clang CXX=clang++ cmake -S . -B $(CLANG_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
	      -DTOOLKIT_WARNINGS_AS_ERRORS=ON $(CMAKE_FLAGS)
	cmake --build $(CLANG_DIR) -j $(JOBS)
	cd $(CLANG_DIR) && ctest --output-on-failure -j $(JOBS)

# The Slurm recipe (scripts/slurm-compare-pairs.sh) on a single-node cluster
# that scripts/slurm-local.sh installs, starts and stops on this machine.
test-slurm: build
	tests/slurm/test_slurm.sh $(BUILD_DIR)/bin/compare-pairs

# The libFuzzer target over image reading and both comparisons, built with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer, run for FUZZ_SECONDS
# from the seed images in tests/data/fuzz-seeds; fails on any crash. New
# inputs it finds go to $(FUZZ_DIR)/corpus, crashes to $(FUZZ_DIR)/crash-*.
fuzz: setup
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	      -DTOOLKIT_FUZZ=ON -DTOOLKIT_SANITIZE=address,undefined,fuzzer-no-link \
	      -DTOOLKIT_BUILD_TESTS=OFF -DTOOLKIT_BUILD_BENCHMARKS=OFF -DTOOLKIT_BUILD_PYTHON=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_image_comparison
	@mkdir -p $(FUZZ_DIR)/corpus
	cd $(FUZZ_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan-suppressions.txt \
	    bin/fuzz_image_comparison -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -rss_limit_mb=4096 \
	    -timeout=30 -print_final_stats=1 corpus ../tests/data/fuzz-seeds

# The visual report of compare-pairs in Debian's headless chromium (installed
# here when missing): rendered charts on readable axes, loaded thumbnails, no
# console error, the table within 1280 pixels, its filters, the study linked
# and readable at 390 pixels, figures and distances recomputed from the
# report's own data, and the weight and opening time of 200 pairs.
test-report: build
	@dpkg-query -W -f='$${Status}' chromium 2>/dev/null | grep -q "install ok installed" || \
	    { [ "$$(id -u)" -eq 0 ] && s= || s=sudo; $$s env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends chromium; }
	/usr/bin/python3 tests/report/test_report.py $(BUILD_DIR)/bin/compare-pairs samples

# The Debian packages photo-toolkit (the programs), photo-toolkit-dev and
# python3-photocolour, built by CPack into $(PACKAGE_DIR)/*.deb. A build of
# their own, for the prefix /usr (so the library goes to lib/<multiarch>, as
# Debian puts it), without tests and benchmarks.
package:
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	      -DTOOLKIT_WARNINGS_AS_ERRORS=$(WERROR) -DTOOLKIT_BUILD_TESTS=OFF -DTOOLKIT_BUILD_BENCHMARKS=OFF $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_DIR) -j $(JOBS)
	cd $(PACKAGE_DIR) && cpack -G DEB

# lintian on each package, then each installed with apt-get, checked as its
# user would (the programs, a consumer build through find_package and
# pkg-config, import photocolour) and purged with what it pulled in.
test-package: package
	scripts/test-package.sh $(PACKAGE_DIR)

# Runs the main job, perceptual-metrics, on the bundled samples in
# $(BUILD_DIR)/demo, where it appends to For_fit.txt and leaves its debug files.
demo: setup
	@$(MAKE) --no-print-directory build
	@mkdir -p $(BUILD_DIR)/demo
	@cd $(BUILD_DIR)/demo && for pair in "chelsea.png coffee.png" "coffee.png rocket.jpg" "chelsea.png chelsea.png"; do \
	    set -- $$pair; \
	    printf 'perceptual-metrics %s %s: ' $$1 $$2; \
	    ../bin/perceptual-metrics ../../samples/$$1 ../../samples/$$2 || exit 1; \
	done
	@echo "Figures (Q, J, C, M, s) appended to $(BUILD_DIR)/demo/For_fit.txt"

bench: build
	$(BUILD_DIR)/bin/bench_programs --megapixels 0,1,12,48
	$(BUILD_DIR)/bin/bench_large_pages
	$(BUILD_DIR)/bin/bench_colour_loops
	$(BUILD_DIR)/bin/bench_image_reader
	$(BUILD_DIR)/bin/bench_compare_pairs
	$(BUILD_DIR)/bin/bench_pairs_decoding --repeats 7
	$(BUILD_DIR)/bin/bench_flash_exposures
	$(BUILD_DIR)/bin/bench_guidedfilter
	$(BUILD_DIR)/bin/bench_appearance

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(CLANG_DIR) $(PACKAGE_DIR) build-python
