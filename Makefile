# Thin wrapper around CMake/CTest. `make test` and `make demo` work on a fresh Debian 12.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake ninja-build g++ pkg-config curl python3 \
	libcurl4-openssl-dev qt6-base-dev libqt6test6 libgtest-dev \
	libcpp-httplib-dev libpacparser-dev nlohmann-json3-dev libx11-dev \
	fonts-dejavu-core fonts-liberation dpkg-dev file \
	libsodium-dev libproxy-dev nginx-light tinyproxy squid \
	xvfb openbox xdotool x11-utils dbus dbus-daemon \
	clang libclang-rt-14-dev lintian desktop-file-utils

.PHONY: all deps configure build test bench demo package screenshots format clean sanitize-address sanitize-thread

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j $(JOBS)

bench: build
	bench/run.sh $(BUILD)

demo: build
	tools/demo/run-demo.sh $(BUILD)

screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/bin/tessra-screenshots docs/screens

package: build
	@rm -f $(BUILD)/tessra-*.deb
	cd $(BUILD) && cpack -G DEB
	@if command -v lintian >/dev/null; then \
	  echo "lintian $(BUILD)/tessra-*.deb"; \
	  out=$$(lintian --fail-on error,warning $(BUILD)/tessra-*.deb 2>&1); status=$$?; \
	  printf '%s\n' "$$out" | grep -v 'running with root privileges' || true; \
	  if [ $$status -eq 0 ]; then echo "lintian: no errors or warnings"; fi; exit $$status; \
	else echo "lintian is not installed (make deps installs it): packages not checked"; fi

sanitize-address:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSWM_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

sanitize-thread:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSWM_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
