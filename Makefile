# Plotanix: `make run` and `make test` do the whole set-up on a fresh Debian
# machine: install the missing packages, configure, build, then run.

PACKAGES := build-essential cmake pkg-config clang libclang-rt-14-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	libncurses-dev libsdl2-dev libx11-dev libpng-dev zlib1g-dev \
	libfreetype-dev libfontconfig-dev fonts-liberation \
	libcairo2-dev librsvg2-bin poppler-utils libxml2-utils libcli11-dev \
	tmux xvfb xauth hp2xx hershey-fonts-data man-db systemd lintian \
	libmicrohttpd-dev chromium

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS := $(shell nproc)

# The operator's build, and the test build (clang, with AddressSanitizer,
# UndefinedBehaviorSanitizer and the libFuzzer target). The tests also use
# the operator's build where sanitizers would distort a measurement (memory).
BUILD := build
TEST_BUILD := build-test

.PHONY: run test build test-build deps demo bench fuzz format clean install deb

# Where `make install` puts the programs, man pages and README; DESTDIR
# stages the whole tree elsewhere (for a package).
PREFIX ?= /usr/local

run: build
	@./$(BUILD)/plotanix

test: build test-build
	cd $(TEST_BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 900

demo: build
	@./$(BUILD)/plotanix-demo

bench: build
	@cmake --build $(BUILD) -j$(JOBS) --target plotanix-bench
	./$(BUILD)/plotanix-bench
	tools/bench_render.sh $(BUILD)

# A fuzzing campaign over every model, longer than the test suite's smoke:
# FUZZ_SECONDS (ten minutes by default); FUZZ_MODEL=hp86b, 7470a or hpgl2 runs one
# model alone. The corpus grows in $(TEST_BUILD)/fuzz-campaign between runs.
FUZZ_SECONDS ?= 600
FUZZ_MODEL ?=
fuzz: test-build
	PLOTANIX_FUZZ_MODEL=$(FUZZ_MODEL) tests/fuzz/run_fuzz.sh $(TEST_BUILD)/plotanix_fuzz \
		$(TEST_BUILD)/fuzz-campaign $(FUZZ_SECONDS) tests/fuzz/regressions tools/demo_drawing.hpgl \
		tests/data/streams $(wildcard ../shared/hpgl-corpus)

deps:
	@missing=$$(for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update -qq >/dev/null && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	fi

# The programs only: the benchmarks are built when asked for (make bench).
# Quietly, so that make run and make demo show the program and nothing else:
# the build's output is kept in build/build.log and shown, less the progress
# lines, only when the build fails.
build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTANIX_TESTS=OFF \
		-DCMAKE_UNITY_BUILD=ON >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target plotanix plotanix-render plotanix-demo \
		>$(BUILD)/build.log 2>&1 || { \
		grep -Ev '^\[ *[0-9]+%\]|: (Entering|Leaving) directory' $(BUILD)/build.log >&2; exit 1; }

test-build: deps
	@cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DPLOTANIX_SANITIZE=ON -DPLOTANIX_FUZZ=ON -DPLOTANIX_TESTS=ON -DPLOTANIX_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
		"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1" \
		-DPLOTANIX_RELEASE_DIR=$(CURDIR)/$(BUILD) >/dev/null
	@cmake --build $(TEST_BUILD) -j$(JOBS)

# The programs stripped of their debug information; the service's unit names
# the programs under PREFIX.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# build/plotanix_<version>_<arch>.deb, installing into /usr.
deb: build
	cd $(BUILD) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TEST_BUILD)
