# The two commands of the README:
#   make run    install what is missing, build, and start Vornix
#   make test   install what is missing, build, and run every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: run test deps-run deps-test configure build bench clean

run: deps-run build
	$(BUILD)/bin/vornix

test: deps-test build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

bench: deps-test build
	$(BUILD)/bin/vornix-bench-report

deps-run:
	@scripts/install-deps run

deps-test:
	@scripts/install-deps test

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

clean:
	rm -rf $(BUILD)
