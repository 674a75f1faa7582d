# Set-up, build, test and demo for Skalo on Debian 12.
#   make run   - install what is missing, build, serve the demo on http://127.0.0.1:8080/
#   make test  - install what is missing, build, run every test (plus a sanitizer build)

SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
LISTEN ?= 127.0.0.1:8080

PACKAGES := build-essential cmake ninja-build pkg-config clang-format \
            libjpeg62-turbo-dev zlib1g-dev libpugixml-dev \
            libboost-dev libboost-system-dev apache2-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libcurl4-openssl-dev curl libtiff-tools \
            netpbm pngcheck libjpeg-turbo-progs libimage-exiftool-perl

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build build-asan test test-release test-asan run format check-format clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	else echo "All build packages are installed."; fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSKALO_SANITIZE=ON -DSKALO_BENCH=OFF

build-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test: test-release test-asan

run: build
	mkdir -p $(BUILD)/cache
	$(BUILD)/skalo-httpd --listen $(LISTEN) --root demo/www --alias /skalo-cache=$(BUILD)/cache

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
