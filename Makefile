# Shortcuts around CMake. `make run` and `make test` are the README's quick start.
BUILD ?= build
PORT ?= 9999
JOBS ?= $(shell nproc)
# End-to-end tests spend most of their time waiting for the session window, so more run at
# once than there are cores.
TEST_JOBS ?= 8
# CMake's own make calls itself; without this every step says which directory it is in.
MAKEFLAGS += --no-print-directory
# Configuration prints only warnings and errors.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING

.PHONY: all build run test test-sanitize deps clean

all: build

# Everything, tests included, and what building and running them needs. scripts/install-deps
# holds the one list of the packages each target needs.
deps:
	@scripts/install-deps --tests

# Configures every time, so that tests left out of a build made without GoogleTest (by
# make run) are added once it is installed.
build: deps
	@$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS)

# A trial run in the foreground: the log is printed here and "systemctl suspend" is only
# pretended. Pass the daemon's own options in ARGS, e.g. make run ARGS="-p 7777". Installs
# and builds only what that needs (the compiler and CMake; the daemon and the trial tool),
# and configures only a new build directory (a build reconfigures itself when a CMake file
# changes). exec makes the trial make's own child, whatever ARGS hold, so that make's
# SIGTERM reaches it and make waits for it.
run:
	@scripts/install-deps
	@test -f $(BUILD)/CMakeCache.txt || { echo "Configuring $(BUILD)/"; $(CONFIGURE); }
	@cmake --build $(BUILD) -j $(JOBS) --target lomarind-trial
	@exec $(BUILD)/tools/lomarind-trial -p $(PORT) $(ARGS)

# ctest in the build directory $(1). Tests that cannot run here (the end-to-end ones without
# the privileges for their private namespaces) are skipped, with one line at the end for each
# reason; the status is ctest's.
run_ctest = cd $(1) && rm -f Testing/junit.xml && \
  ctest --output-on-failure --no-tests=error -j $(TEST_JOBS) --output-junit Testing/junit.xml; \
  status=$$?; "$(CURDIR)/scripts/skip-reasons" Testing/junit.xml; exit $$status

test: build
	$(call run_ctest,$(BUILD))

# The whole suite again, daemon included, with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DLOMARIND_SANITIZE=ON --log-level=WARNING
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	$(call run_ctest,$(BUILD)-sanitize)

# The client linked with no shared library at all, for containers that lack libsodium or the
# C++ runtime (cmake/StaticClient.cmake says what it costs): $(STATIC_BUILD)/lomarind, built
# in a directory that holds nothing else. tests/system/test-static-client.sh runs it in an
# empty root.
STATIC_BUILD ?= $(BUILD)-static
.PHONY: static-client
static-client:
	@scripts/install-deps --static
	@cmake -S . -B $(STATIC_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOMARIND_STATIC_CLIENT=ON \
	  -DLOMARIND_TESTS=OFF --log-level=WARNING
	cmake --build $(STATIC_BUILD) -j $(JOBS) --target lomarind

# The Debian package, built by dpkg-buildpackage from debian/ (unsigned, binary only) in a
# copy of this tree under $(PKG_BUILD), so that its outputs (the .debs, .buildinfo and
# .changes, written beside the tree it builds) land in $(PKG_BUILD) and nothing outside the
# clone is touched. DEB_BUILD_OPTIONS passes through: nocheck leaves the unit tests out
# (and GoogleTest uninstalled), noopt builds with -O0. The .debs are the same, bit for bit,
# from any clone of one commit: dpkg-buildpackage sets SOURCE_DATE_EPOCH from
# debian/changelog. The build dependencies are those of debian/control.
PKG_BUILD ?= $(BUILD)-deb
.PHONY: package
package:
	@DEB_BUILD_OPTIONS="$(DEB_BUILD_OPTIONS)" scripts/install-deps --package
	@case "$$(pwd)/" in "$$(realpath -m '$(PKG_BUILD)')/"*) \
	  echo "PKG_BUILD=$(PKG_BUILD) holds this tree; it is emptied first: choose another" >&2; exit 1 ;; esac
	rm -rf $(PKG_BUILD)
	mkdir -p $(PKG_BUILD)/lomarind
	tar -C . --exclude='./build*' --exclude=./.git --exclude='./obj-*' \
	  --exclude='./$(patsubst ./%,%,$(PKG_BUILD))' -cf - . | tar -C $(PKG_BUILD)/lomarind -xf -
	cd $(PKG_BUILD)/lomarind && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL \
	  DEB_BUILD_PROFILES="$(strip $(DEB_BUILD_PROFILES) $(filter nocheck,$(DEB_BUILD_OPTIONS)))" \
	  dpkg-buildpackage -us -uc -b -J$(JOBS)
	@ls -1 $(PKG_BUILD)/*.deb

# Fuzzing and static analysis, with clang (see docs/fuzzing-and-analysis.md); each script
# installs what it needs. The fuzz targets run FUZZ_SECONDS each: make fuzz
# FUZZ_SECONDS=3600 runs them for an hour.
FUZZ_SECONDS ?= 60
.PHONY: fuzz lint
fuzz:
	FUZZ_BUILD=$(BUILD)-fuzz scripts/run-fuzzers $(FUZZ_SECONDS)

lint:
	LINT_BUILD=$(BUILD)-lint scripts/lint

# Every build directory that the targets here make (the static client's too), and those that
# the package and system tests and CI make through them: build-pkg (with -noopt) for the
# .debs, build-system for the booted tests' Debian roots and images.
clean:
	@case "$$(pwd)/" in "$$(realpath -m '$(PKG_BUILD)')/"*) \
	  echo "PKG_BUILD=$(PKG_BUILD) holds this tree: choose another" >&2; exit 1 ;; esac
	rm -rf $(BUILD) $(BUILD)-sanitize $(STATIC_BUILD) $(BUILD)-deb $(PKG_BUILD) $(PKG_BUILD)-noopt \
	  $(BUILD)-fuzz $(BUILD)-lint $(BUILD)-mutants build-pkg build-pkg-noopt build-system

# The mutation run (see docs/mutants.md): each fault of tests/mutants.list planted in turn in
# a copy of the tree under $(BUILD)-mutants/, against the unit tests; fails when a fault
# survives that the list does not explain. Pass words in MUTANTS to plant only the faults
# whose line holds one, e.g. make mutants MUTANTS=budget.
.PHONY: mutants
mutants: deps
	MUTANTS_DIR=$(BUILD)-mutants MUTANTS_JOBS=$(JOBS) scripts/mutants $(MUTANTS)

# The benchmark: the daemon side by side with a floor server that makes the same system
# calls and nothing else (see docs/performance.md). Needs root for its private namespaces;
# about two and a half minutes. Options go in BENCH_ARGS, e.g. make bench BENCH_ARGS="--pin --quick".
# --pin gives both servers the same CPU (and the clients the other): unpinned, where the
# scheduler happens to put a server decides its latency (about 20 or 57 us here).
BENCH_ARGS ?= --pin
.PHONY: bench
bench: build
	$(BUILD)/bench/lomarind-bench $(BENCH_ARGS)
