# The README's two commands and their helpers.
#   make demo   builds the tool and runs it on the embedded demo machine
#   make check  builds everything and runs every test (what CI runs)
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Debian packages, by what needs them.
PKGS_BUILD := g++ cmake ninja-build pkg-config libsqlite3-dev libcurl4-openssl-dev libssl-dev libxml2-dev ca-certificates
PKGS_TEST  := googletest libgtest-dev libgmock-dev openssl tinyproxy curl clang libclang-rt-14-dev \
              g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 dpkg-dev debian-archive-keyring
PKGS_BENCH := curl nginx valgrind
# The shipped 32-bit program under Wine: qemu-user runs the 32-bit code this
# kernel refuses; wine32 needs the i386 architecture, which the set-up adds.
PKGS_SHIPPED := qemu-user-static wine32:i386

.PHONY: help demo check deps-build deps-test deps-bench debug release windows test bench clean
.PHONY: windows-tests windows-release windows-shipped-check layers

help:
	@echo "make demo    build the tool and run it on the demo machine (examples/demo-workstation.reg)"
	@echo "make check   build everything and run all tests (sanitizer build, CTest, Windows build)"
	@echo "make bench   build and run the benchmarks (every row beside its reference, build/release/bench/results.json)"
	@echo "make windows-release  the 32-bit program, its manifest check and INSTALL.txt in build/release-windows"
	@echo "make windows-tests    the portable tests and the scenarios, built for Windows, under wine64"
	@echo "make package the Debian package of the Linux tools and the zip of the Windows release folder (build/packages)"
	@echo "make windows-shipped-check  the scenarios against the shipped 32-bit program under Wine (root; TW_SKIP_SHIPPED=1 skips)"

# Installs the packages named in $(1) that are missing; as non-root, says what to install and stops.
define ensure_pkgs
	missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' "$$p" 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" != 0 ]; then \
	    echo "missing Debian packages; as root run: apt-get update && apt-get install -y --no-install-recommends$$missing" >&2; \
	    exit 1; \
	  fi; \
	  echo "installing:$$missing"; \
	  apt-get update -qq; \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi
endef

deps-build:
	@$(call ensure_pkgs,$(PKGS_BUILD))
deps-test: deps-build
	@$(call ensure_pkgs,$(PKGS_TEST))
deps-bench: deps-build
	@$(call ensure_pkgs,$(PKGS_BENCH))

release: deps-build
	@mkdir -p build
	cmake --preset release >/dev/null
	@echo "building (release) ..."
	@cmake --build --preset release -j $(JOBS) > build/release-build.log 2>&1 || { tail -40 build/release-build.log; exit 1; }

debug: deps-test
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)

windows: deps-test
	cmake --preset mingw-i686 >/dev/null
	cmake --build --preset mingw-i686 -j $(JOBS) --target twprereqhandler twfetch

# The shipped program with its manifest read back and compared, INSTALL.txt, and
# twlibxml2.dll built from Debian's libxml2 source package.
windows-release: windows
	cmake/release/windows-release.sh build/mingw-i686 build/release-windows
	JOBS=$(JOBS) cmake/libxml2-windows/build.sh i686 build/release-windows/twlibxml2.dll build/libxml2-windows

# The Windows tests: an x86_64 build (this kernel runs no 32-bit programs) run
# under wine64, one Wine start per test program; the loopback servers run on the
# Linux side in the debug build's tw_server_host.
windows-tests: deps-test
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS) --target tw_server_host
	cmake --preset mingw-x86_64 >/dev/null
	cmake --build --preset mingw-x86_64 -j $(JOBS) --target twprereqhandler twfetch windows_tests
	JOBS=$(JOBS) cmake/libxml2-windows/build.sh x86_64 build/mingw-x86_64/twlibxml2.dll build/libxml2-windows
	TW_LINUX_BUILD=$(CURDIR)/build/debug tests/wine/run.sh build/mingw-x86_64

# The scenarios against the shipped 32-bit program (see tests/wine/README.md);
# TW_SKIP_SHIPPED=1 skips them, saying so.
windows-shipped-check:
	TW_LINUX_BUILD=$(CURDIR)/build/debug tests/wine/shipped.sh build/release-windows build/mingw-x86_64 $(PKGS_SHIPPED)

# The Debian package of the Linux tools and the zip of the Windows release folder.
package: deps-test windows-release
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target twprereqhandler twreg twfetch twreplay
	rm -rf build/packages
	cd build/release && cpack >/dev/null
	cd build/mingw-i686 && cpack >/dev/null
	@ls -l build/packages/*.deb build/packages/*.zip

.PHONY: windows-tests windows-release windows-shipped-check layers package

test: debug
	ctest --preset debug -j $(JOBS)

DEMO_DIR := build/demo
demo: release
	@rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)/drives $(DEMO_DIR)/services
	@export TW_REGISTRY=$(CURDIR)/$(DEMO_DIR)/registry.db TW_DRIVE_ROOT=$(CURDIR)/$(DEMO_DIR)/drives \
	        TW_SERVICE_DIR=$(CURDIR)/$(DEMO_DIR)/services; \
	build/release/tools/twreg/twreg import examples/demo-workstation.reg; \
	install_dir=$$(build/release/tools/twreg/twreg query 'HKLM\SOFTWARE\WOW6432Node\Brightmoor\Tidewell\TWAgent' /v TWAgentInstallDir | awk -F'    ' '/TWAgentInstallDir/ {print $$4}'); \
	echo "demo machine: $$install_dir is the agent's installation folder"; \
	build/release/tools/twreg/twreg mkpath "$$install_dir" >/dev/null; \
	echo "+ twprereqhandler -m 1 -r 1 -q 1 -p KB5034441 -l \"Demo Product\" -v 1.0"; \
	set +e; build/release/twprereqhandler -m 1 -r 1 -q 1 -p KB5034441 -l "Demo Product" -v 1.0; rc=$$?; set -e; \
	echo "exit code: $$rc"; \
	echo "--- log ---"; \
	find $(DEMO_DIR)/drives -name twprereqhandler.log -exec cat {} \;
	@echo; echo "+ twreplay examples/fleet"
	@build/release/tools/twreplay/twreplay examples/fleet || \
	  echo "twreplay exit status $$?: a machine of the fleet could not be replayed"

# Runs one step of `make check` and says how long it took; a step that fails
# stops the check (a failure inside an && chain would not stop the shell).
define timed
@start=$$(date +%s); $(2) || { echo "check: $(1) failed" >&2; exit 1; }; echo "check: $(1) took $$(($$(date +%s) - start)) s"
endef

# Refuses an #include that reaches up the library stack of src/layers.txt.
layers:
	@sh cmake/check-layers.sh

check: deps-test
	$(call timed,library layers,sh cmake/check-layers.sh)
	$(call timed,Linux build,cmake --preset debug >/dev/null && cmake --build --preset debug -j $(JOBS))
	$(call timed,Linux tests,ctest --preset debug -j $(JOBS))
	$(call timed,fuzz targets,FUZZ_SECONDS=20 JOBS=$(JOBS) sh fuzz/run.sh)
	$(call timed,Windows program and release folder,$(MAKE) --no-print-directory windows-release)
	$(call timed,Windows tests under Wine,$(MAKE) --no-print-directory windows-tests)
	$(call timed,packages and the demo from the installed package,$(MAKE) --no-print-directory package && bash cmake/package/check-deb.sh build/packages/*.deb build/package-check)
	$(call timed,shipped 32-bit program under Wine,TW_SKIP_SHIPPED=$${TW_SKIP_SHIPPED-1} $(MAKE) --no-print-directory windows-shipped-check)
	@echo "check: all tests passed; Windows program at build/release-windows/twprereqhandler.exe"

# Every row of the report in one run, each beside its reference; the figures
# also go to build/release/bench/results.json.
bench: deps-bench
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	build/release/bench/twbench

clean:
	rm -rf build
