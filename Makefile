# Thin wrapper around CMake/CTest. `make test` and `make demo` work on a fresh Debian 12.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake ninja-build g++ pkg-config curl python3 \
	libcurl4-openssl-dev qt6-base-dev libqt6test6 libgtest-dev \
	libcpp-httplib-dev libpacparser-dev nlohmann-json3-dev libx11-dev \
	fonts-dejavu-core fonts-liberation dpkg-dev file \
	libssl-dev libproxy-dev nginx-light tinyproxy squid \
	xvfb openbox xdotool x11-utils dbus dbus-daemon \
	clang libclang-rt-14-dev lintian desktop-file-utils \
	libzstd-dev zstd bsdiff xdelta3 time lighttpd zlib1g-dev \
	libsecret-1-dev gnome-keyring libsecret-tools

.PHONY: all deps configure build test bench demo package screenshots format clean sanitize-address sanitize-thread fuzz

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
	@if command -v clang++ >/dev/null 2>&1; then $(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_TEST_SECONDS) FUZZ_FLAGS=-seed=1; \
	else echo "fuzz: clang++ not found, fuzz targets not run"; fi
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300 -j $(JOBS)

# libFuzzer targets (tests/fuzz), a clang build of their own in $(FUZZ_BUILD). Each
# target runs FUZZ_SECONDS on a scratch copy of its seeds; a finding fails the run
# and leaves its input in $(FUZZ_BUILD)/findings/<target>/.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TEST_SECONDS ?= 3
# make test fixes the seed, so its short runs retrace the same inputs everywhere.
FUZZ_FLAGS ?=
fuzz: deps
	@CC=clang CXX=clang++ cmake -S tests/fuzz -B $(FUZZ_BUILD) -G Ninja >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@status=0; for t in $$(cat $(FUZZ_BUILD)/fuzz-targets.txt); do \
	  corpus=$(FUZZ_BUILD)/corpus/$$t; findings=$(FUZZ_BUILD)/findings/$$t; \
	  rm -rf $$corpus; mkdir -p $$corpus $$findings; \
	  cp -L tests/fuzz/seeds/$$t/* $$corpus/ 2>/dev/null; \
	  if $(FUZZ_BUILD)/bin/$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=512 -malloc_limit_mb=256 \
	       -timeout=10 -max_len=8192 -print_final_stats=1 $(FUZZ_FLAGS) -artifact_prefix=$$findings/ \
	       $$corpus >$(FUZZ_BUILD)/$$t.log 2>&1; then \
	    echo "fuzz: $$t: $$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ_BUILD)/$$t.log) runs in $(FUZZ_SECONDS) s, no finding"; \
	  else \
	    status=1; echo "fuzz: $$t: FINDING (log $(FUZZ_BUILD)/$$t.log, input in $$findings/)"; \
	    grep -E "rule broken|ERROR|runtime error" $(FUZZ_BUILD)/$$t.log | head -5; \
	  fi; \
	done; exit $$status

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
