# The two commands a newcomer needs: `make test` and `make demo`.
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON ?= /usr/bin/python3

.PHONY: all build test demo bench fuzz soak clean bootstrap arm64

all: build

bootstrap:
	scripts/bootstrap

# CMAKE_FLAGS: more options for the first configuration, e.g.
# CMAKE_FLAGS=-DVORA_WERROR=ON as CI builds.
CMAKE_FLAGS ?=
$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	scripts/run-pytest $(BUILD)

# Only what the demo runs: the library, the tool and the simulator.
demo: bootstrap $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target vora vora-camsim
	scripts/demo $(BUILD)

bench: build
	cmake --build $(BUILD) --target bench

# The arm64 cross build (build-arm64/), its tests under qemu-user and
# streaming between the two architectures; the native build comes first.
ARM64_BUILD ?= build-arm64
arm64: build
	scripts/arm64 $(BUILD) $(ARM64_BUILD) $(CMAKE_FLAGS)

# Each fuzz target for FUZZ_SECONDS under libFuzzer (clang, in build-fuzz/).
FUZZ_SECONDS ?= 60
fuzz: bootstrap
	scripts/fuzz $(FUZZ_SECONDS)

# Three lossy channels captured for SOAK_SECONDS; memory, descriptors and
# threads must stay flat (not part of CI).
SOAK_SECONDS ?= 600
soak: build
	scripts/soak $(BUILD) $(SOAK_SECONDS)

clean:
	rm -rf $(BUILD) build-fuzz $(ARM64_BUILD)
