# Shortcuts around CMake. `make run` and `make test` are the README's quick start.
BUILD ?= build
PORT ?= 9999
JOBS ?= $(shell nproc)
# End-to-end tests spend most of their time waiting for the session window, so more run at
# once than there are cores.
TEST_JOBS ?= 8

.PHONY: all build run test test-sanitize deps clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# A trial run in the foreground: the log is printed here and "systemctl suspend" is only
# pretended. Pass the daemon's own options in ARGS, e.g. make run ARGS="-p 7777".
run: build
	$(BUILD)/tools/lomarind-trial -p $(PORT) $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# The whole suite again, daemon included, with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DLOMARIND_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	cd $(BUILD)-sanitize && ctest --output-on-failure -j $(TEST_JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize
