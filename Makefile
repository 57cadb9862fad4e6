# Plotanix: `make run` and `make test` do the whole set-up on a fresh Debian
# machine: install the missing packages, configure, build, then run.

# The Debian packages each command needs, one list per purpose and one
# package a line. Running: the compilers, the libraries and the fonts.
PACKAGES := \
	build-essential \
	cmake \
	pkg-config \
	libncurses-dev \
	libsdl2-dev \
	libx11-dev \
	libpng-dev \
	zlib1g-dev \
	libfreetype-dev \
	libfontconfig-dev \
	fonts-liberation \
	hershey-fonts-data \
	libcairo2-dev \
	libcli11-dev \
	libmicrohttpd-dev \
	libcups2-dev \
	rpcsvc-proto \
	libtirpc-dev
# The tests (make test), beside those: the sanitizing compiler, the test
# libraries, the terminal, display and file checkers the tests drive, and
# the tools the install test uses, and the CUPS scheduler and its
# administration tools for the printing tests' private scheduler.
TEST_PACKAGES := \
	clang \
	libclang-rt-14-dev \
	libgtest-dev \
	libgmock-dev \
	librsvg2-bin \
	poppler-utils \
	libxml2-utils \
	tmux \
	xvfb \
	xauth \
	hp2xx \
	man-db \
	systemd \
	lintian \
	chromium \
	cups-daemon \
	cups-client
# The benchmarks (make bench).
BENCH_PACKAGES := \
	libbenchmark-dev \
	hp2xx \
	valgrind
# The Debian package (make deb): its build flags and its checker.
DEB_PACKAGES := \
	dpkg-dev \
	lintian

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
JOBS := $(shell nproc)

# The operator's build, and the test build (clang, with AddressSanitizer,
# UndefinedBehaviorSanitizer and the libFuzzer target). The tests also use
# the operator's build where sanitizers would distort a measurement (memory).
BUILD := build
TEST_BUILD := build-test

.PHONY: run test test-announce build test-build compile-alone deps deps-test deps-bench deps-deb demo bench fuzz format clean install deb

# Where `make install` puts the programs, man pages and README; DESTDIR
# stages the whole tree elsewhere (for a package).
PREFIX ?= /usr/local

# make run ARGS="/dev/ttyUSB0 --model 7470a": the program's own arguments.
run: build
	@./$(BUILD)/plotanix $(ARGS)

# Said at once: the first build of both takes minutes. The builds are unity
# builds, so every source is also compiled on its own (g++, syntax and
# warnings only), where a missing include shows. As the builds, the run
# shows one line of progress on a terminal and its summary; the whole
# output is kept in $(TEST_BUILD)/test.log and shown, less the tests that
# passed, when a test fails.
test: test-announce deps-test build test-build compile-alone
	@echo "Running the tests ($(TEST_BUILD), ctest; the slowest take a few minutes; the log in $(TEST_BUILD)/test.log)"
	@tools/test_progress.sh $(TEST_BUILD)/test.log \
		ctest --test-dir $(TEST_BUILD) --output-on-failure -j$(JOBS) --timeout 900

test-announce:
	@echo "make test: the packages the tests need, the programs ($(BUILD)), the tests ($(TEST_BUILD)), then every test"

demo: build
	@./$(BUILD)/plotanix-demo

bench: deps-bench build
	@cmake -S . -B $(BUILD) -DPLOTANIX_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target plotanix-bench
	./$(BUILD)/plotanix-bench
	tools/bench_render.sh $(BUILD)
	bench/hpgl2_costs.sh $(BUILD)

# Fuzzing: each model alone for FUZZ_SECONDS (60 by default) in the fast
# fuzzing build (libFuzzer with UndefinedBehaviorSanitizer, $(FUZZ_BUILD)/)
# and again in the test build (with AddressSanitizer too), each run's rate
# reported in executions per CPU-second. Each run starts from the seeds, so
# that rates compare; its work is left in <build>/fuzz-campaign.
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SEEDS = tests/fuzz/regressions tools/demo_drawing.hpgl tests/data/streams tests/fuzz/seeds $(wildcard ../shared/hpgl-corpus)
fuzz: deps-test
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DPLOTANIX_UBSAN=ON -DPLOTANIX_FUZZ=ON -DPLOTANIX_TESTS=ON -DPLOTANIX_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
		"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1" >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target plotanix_fuzz
	@$(MAKE) --no-print-directory test-build
	@[ -d ../shared/hpgl-corpus ] || echo "No corpus at ../shared/hpgl-corpus: the seeds are the project's own"
	@echo "Fast fuzzing build ($(FUZZ_BUILD)/, UndefinedBehaviorSanitizer):"
	@tests/fuzz/fuzz_rates.sh $(FUZZ_BUILD)/plotanix_fuzz $(FUZZ_BUILD)/fuzz-campaign $(FUZZ_SECONDS) $(FUZZ_SEEDS)
	@echo "Test build ($(TEST_BUILD)/, AddressSanitizer and UndefinedBehaviorSanitizer):"
	@tests/fuzz/fuzz_rates.sh $(TEST_BUILD)/plotanix_fuzz $(TEST_BUILD)/fuzz-campaign $(FUZZ_SECONDS) $(FUZZ_SEEDS)

# Installs what is missing of the packages given in the variable `wanted`.
define install_missing
	@missing=$$(for p in $(wanted); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		$(SUDO) apt-get update -qq >/dev/null && \
		DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing >/dev/null || exit 1; \
	fi
endef

deps: wanted = $(PACKAGES)
deps:
	$(install_missing)

deps-test: wanted = $(PACKAGES) $(TEST_PACKAGES)
deps-test:
	$(install_missing)

deps-bench: wanted = $(PACKAGES) $(BENCH_PACKAGES)
deps-bench:
	$(install_missing)

deps-deb: wanted = $(PACKAGES) $(DEB_PACKAGES)
deps-deb:
	$(install_missing)

# The hardening the Debian package is built with (bindnow, fortify, stack
# protector), as dpkg-buildflags gives it; the paths are left as they are.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS='hardening=+all reproducible=-fixfilepath,-fixdebugpath' dpkg-buildflags --get
HARDENING = $(if $(shell command -v dpkg-buildflags),\
	"-DCMAKE_C_FLAGS=$(shell $(DEB_FLAGS) CPPFLAGS) $(shell $(DEB_FLAGS) CFLAGS)" \
	"-DCMAKE_CXX_FLAGS=$(shell $(DEB_FLAGS) CPPFLAGS) $(shell $(DEB_FLAGS) CXXFLAGS)" \
	"-DCMAKE_EXE_LINKER_FLAGS=$(shell $(DEB_FLAGS) LDFLAGS)" \
	"-DCMAKE_SHARED_LINKER_FLAGS=$(shell $(DEB_FLAGS) LDFLAGS)" \
	"-DCMAKE_MODULE_LINKER_FLAGS=$(shell $(DEB_FLAGS) LDFLAGS)")

# The programs only: the benchmarks are built when asked for (make bench).
# Quietly, so that make run and make demo show the program and nothing else:
# on a terminal one line shows the build's progress; the build's output is
# kept in build/build.log and shown, less the progress lines, only when the
# build fails. The package is made of this build, hardened as Debian builds.
build: deps
	@echo "Building the programs ($(BUILD)/, its log in $(BUILD)/build.log)"
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLOTANIX_TESTS=OFF -DPLOTANIX_BENCH=OFF \
		-DCMAKE_UNITY_BUILD=ON $(HARDENING) >/dev/null
	@tools/build_progress.sh $(BUILD)/build.log \
		cmake --build $(BUILD) -j$(JOBS) --target plotanix plotanix-render plotanix-demo

test-build: deps-test
	@echo "Building the tests ($(TEST_BUILD)/: clang with AddressSanitizer and UndefinedBehaviorSanitizer; its log in $(TEST_BUILD)/build.log)"
	@cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DPLOTANIX_SANITIZE=ON -DPLOTANIX_FUZZ=ON -DPLOTANIX_TESTS=ON -DPLOTANIX_BENCH=OFF -DCMAKE_UNITY_BUILD=ON \
		"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1" \
		-DPLOTANIX_RELEASE_DIR=$(CURDIR)/$(BUILD) >/dev/null
	@tools/build_progress.sh $(TEST_BUILD)/build.log cmake --build $(TEST_BUILD) -j$(JOBS)

# Every source compiled on its own with g++ (build-alone/: the commands of a
# build without unity).
ALONE_BUILD := build-alone
compile-alone: deps-test
	@echo "Compiling every source on its own ($(ALONE_BUILD)/, g++, syntax and warnings)"
	@tools/compile_alone.sh $(ALONE_BUILD) $(JOBS)

# The programs stripped of their debug information; the service's unit names
# the programs under PREFIX.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# build/plotanix_<version>_<arch>.deb, installing into /usr.
deb: deps-deb build
	cd $(BUILD) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(FUZZ_BUILD) $(ALONE_BUILD)
