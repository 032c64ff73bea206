# The two commands of the README: `make demo` and `make test`.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build test soak demo release bench clean

all: build

deps:
	@tools/install-deps.sh

# Configures again, afresh, whenever CMAKE_FLAGS differ from the last time.
configure: deps
	@tools/configure.sh $(BUILD_DIR) "$(CMAKE_FLAGS)"

build: configure
	cmake --build $(BUILD_DIR)

test: configure
	cmake --build $(BUILD_DIR)
	tools/run-tests.sh $(BUILD_DIR)

# The durability campaigns in full: every file operation of an update failed
# in turn with three codes, 200 kills of the launcher mid-update, and 60 kills
# of the launcher replacing itself.
soak: configure
	cmake --build $(BUILD_DIR)
	cd $(BUILD_DIR) && VORN_SOAK_FAULTS=all VORN_SOAK_KILLS=200 VORN_SOAK_LAUNCHER_KILLS=60 \
	    xvfb-run -a -s "-screen 0 1280x1024x24" ctest -R '^soak' -V --timeout 3600

demo: build
	tools/demo.py $(BUILD_DIR)

# The launcher with the production settings and exactly CMAKE_FLAGS, into
# dist/ with its SHA-256 and the addresses and update keys built into it.
release: deps
	tools/release.sh

# Measures the launcher under Wine: $(BUILD_DIR)/bench/report.txt.
bench: build
	@tools/install-deps.sh curl
	bench/run_bench.py $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
