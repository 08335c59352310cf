# The two commands of the README:
#   make run    install what is missing, build, and start Vornix
#   make test   install what is missing, build, and run every test
# and, for developers:
#   make e2e    the end-to-end acceptance run on a private desktop (root; report in build/e2e)
#   make bench  the benchmarks in one table
#   make screenshots  the README's pictures of the panel on each desktop (root; docs/desktop-*.png)
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
# Debian's own python3: pyatspi and python3-dbus are installed for it.
PYTHON3 ?= $(shell test -x /usr/bin/python3 && echo /usr/bin/python3 || echo python3)

.PHONY: run test e2e deps-run deps-test configure build bench screenshots deps-screenshots clean \
	package deps-package check-package

run: deps-run build
	$(BUILD)/bin/vornix

test: deps-test build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

e2e: deps-test build
	$(PYTHON3) tests/e2e/acceptance.py --build $(BUILD)

bench: deps-test build
	scripts/bench-report --build $(BUILD)

screenshots: deps-screenshots build
	$(PYTHON3) tests/desktop/screenshots.py --build $(BUILD)
	$(PYTHON3) tests/desktop/screenshots.py --build $(BUILD) --dark xembed xfce

# The Debian package, $(BUILD)/vornix_1.0_<arch>.deb (CPack; dependencies from dpkg-shlibdeps),
# built with Debian's hardening flags as debhelper passes them to CMake (CPPFLAGS folded into
# the compiler flags, which CMake would otherwise ignore): fortified libc calls, stack
# protection, relocations read-only and bound at start.
DEB_BUILD_MAINT_OPTIONS ?= hardening=+all
buildflags = $(shell DEB_BUILD_MAINT_OPTIONS='$(DEB_BUILD_MAINT_OPTIONS)' dpkg-buildflags --get $(1))
package: CMAKE_ARGS += \
	-DCMAKE_C_FLAGS="$(call buildflags,CFLAGS) $(call buildflags,CPPFLAGS)" \
	-DCMAKE_CXX_FLAGS="$(call buildflags,CXXFLAGS) $(call buildflags,CPPFLAGS)" \
	-DCMAKE_EXE_LINKER_FLAGS="$(call buildflags,LDFLAGS)" \
	-DCMAKE_SHARED_LINKER_FLAGS="$(call buildflags,LDFLAGS)"
package: deps-package build
	cmake --build $(BUILD) --target package

# Installs that package with apt in a fresh Debian 12 chroot and starts it there.
check-package:
	BUILD=$(BUILD) scripts/check-package

deps-package:
	@scripts/install-deps package

deps-run:
	@scripts/install-deps run

deps-test:
	@scripts/install-deps test

deps-screenshots:
	@scripts/install-deps screenshots

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

clean:
	rm -rf $(BUILD)
