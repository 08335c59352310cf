# The two commands of the README:
#   make run    install what is missing, build, and start Vornix
#   make test   install what is missing, build, and run every test
#   make e2e    the end-to-end acceptance run on a private desktop (root; report in build/e2e)
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
# Debian's own python3: pyatspi and python3-dbus are installed for it.
PYTHON3 ?= $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)

.PHONY: run test e2e deps-run deps-test configure build bench clean

run: deps-run build
	$(BUILD)/bin/vornix

test: deps-test build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

e2e: deps-test build
	$(PYTHON3) tests/e2e/acceptance.py --build $(BUILD)

bench: deps-test build
	scripts/bench-report --build $(BUILD)

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
