# Set-up, build, test and demo for Skalo on Debian 12.
#   make run   - install what is missing, build, serve the demo on http://127.0.0.1:8080/
#   make run-apache - the same demo under Apache httpd with mod_skalo on http://127.0.0.1:8081/
#   make run-cluster - the demo on three skalo-httpd instances behind nginx on http://127.0.0.1:8082/
#   make test  - install what is missing, build, run every test (plus a sanitizer build)
#   make bench - the service's speed and memory beside the libjpeg floor
#   make package - a Debian package (build/skalo_<version>_<arch>.deb)

SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
LISTEN ?= 127.0.0.1:8080
APACHE_LISTEN ?= 127.0.0.1:8081
CLUSTER_LISTEN ?= 127.0.0.1:8082
CLUSTER_PORTS ?= 8091,8092,8093

PACKAGES := build-essential cmake ninja-build pkg-config clang-format \
            libjpeg62-turbo-dev zlib1g-dev libpugixml-dev \
            libboost-dev libboost-system-dev apache2 apache2-dev \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libcurl4-openssl-dev curl libtiff-tools \
            netpbm pngcheck libjpeg-turbo-progs libimage-exiftool-perl \
            chromium libssl-dev nginx

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build build-asan test test-release test-asan run run-apache run-cluster package bench format check-format clean

all: build

# Services of installed packages (apache2, nginx) are not started: both would
# take port 80, and the tests and demos start their own on loopback ports.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  guard=/usr/sbin/policy-rc.d; made_guard=""; \
	  if [ ! -e $$guard ]; then \
	    printf '#!/bin/sh\nexit 101\n' | $(SUDO) tee $$guard >/dev/null && $(SUDO) chmod 755 $$guard && made_guard=1; \
	  fi; \
	  trap '[ -z "$$made_guard" ] || $(SUDO) rm -f '$$guard EXIT; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	else echo "All build packages are installed."; fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The sanitizer build optimises less and keeps only line tables (-O1 -g1):
# that halves its compile time, and reports still name files and lines.
$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
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

# Apache in the foreground from a configuration generated in $(BUILD)/apache;
# nothing is installed. Started as root, its children run as www-data, which
# needs to read the site and the build folder and to write the cache.
run-apache: build
	mkdir -p $(BUILD)/cache $(BUILD)/apache
	@set -e; build="$(abspath $(BUILD))"; run_as=""; \
	if [ "$$(id -u)" = 0 ]; then \
	  run_as='User www-data\nGroup www-data'; \
	  chown -R www-data: "$$build/cache"; \
	  chmod o+rx "$$build"; chmod o+r "$$build/skalo.so" "$$build/SkaloSettings.xml"; \
	  chmod -R o+rX demo/www; \
	fi; \
	sed -e "s|@SERVER_ROOT@|$$build/apache|g" -e "s|@LISTEN@|$(APACHE_LISTEN)|g" \
	    -e "s|@RUN_AS@|$$run_as|g" -e "s|@ERROR_LOG@|/dev/stderr|g" \
	    -e "s|@APACHE_MODULES@|$$(apxs -q LIBEXECDIR)|g" -e "s|@MOD_SKALO@|$$build/mod_skalo.so|g" \
	    -e "s|@SKALO_MODULE@|$$build/skalo.so|g" -e "s|@DOCUMENT_ROOT@|$(abspath demo/www)|g" \
	    -e "s|@CACHE_DIR@|$$build/cache|g" hosts/apache/httpd.conf.in > "$$build/apache/httpd.conf"; \
	echo "Apache with mod_skalo on http://$(APACHE_LISTEN)/ (Ctrl-C stops it)"
	exec "$$(apxs -q SBINDIR)/$$(apxs -q progname)" -f "$(abspath $(BUILD))/apache/httpd.conf" -DFOREGROUND

# Instances on 127.0.0.1 at $(CLUSTER_PORTS), sharing $(BUILD)/cluster/cache,
# behind nginx in the foreground, all from files generated in $(BUILD)/cluster
# out of deploy/nginx/skalo-cluster.conf; nothing is installed.
run-cluster: build
	deploy/run-cluster.sh --build $(BUILD) --listen $(CLUSTER_LISTEN) --ports $(CLUSTER_PORTS)

# Workloads against the running host beside libjpeg's own floor; not a test.
package: build
	cmake --build $(BUILD) --target package

bench: build
	python3 bench/run_bench.py $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
