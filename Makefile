# The two commands a newcomer needs: `make test` and `make demo`.
BUILD ?= build
JOBS ?= $(shell nproc)
PYTHON ?= /usr/bin/python3

.PHONY: all build test demo clean bootstrap

all: build

bootstrap:
	scripts/bootstrap

$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	scripts/run-pytest $(BUILD)

demo:
	@echo "make demo arrives with the vora command-line tool; nothing to run yet."
	@exit 1

clean:
	rm -rf $(BUILD)
