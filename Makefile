# Front door of the build. `make` builds build/tarnwick; `make test` installs what is missing
# and runs the whole suite (also the unit tests under ASan+UBSan, the concurrency tests under
# TSan and the fuzz targets over their seeds); `make demo` mounts a sample tree from a loopback
# nginx; `make bench` measures; `make fuzz` fuzzes each parser for FUZZ_SECONDS; `make install`
# and `make uninstall` put the program, its manual page and its mount helper below
# $(DESTDIR)$(PREFIX) and take them away again.
JOBS ?= $(shell nproc)
CMAKE ?= cmake
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps test test-main test-asan test-tsan test-tsa test-fuzz fuzz fuzz-build demo bench install uninstall clean

all:
	$(CMAKE) -S . -B build
	$(CMAKE) --build build -j $(JOBS) --target tarnwick

deps:
	scripts/install-deps

test: deps test-main test-asan test-tsan test-tsa test-fuzz

test-main:
	$(CMAKE) -S . -B build -DTARNWICK_WERROR=ON
	$(CMAKE) --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan:
	$(CMAKE) -S . -B build-asan -DTARNWICK_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
	    -DTARNWICK_SANITIZE=address,undefined -DTARNWICK_TEST_SET=unit
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# clang's thread-safety analysis of the lock annotations: the library and the concurrency tests
# must build without a finding, and the tests then run as built.
test-tsa:
	$(CMAKE) -S . -B build-tsa -DTARNWICK_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_THREAD_SAFETY=ON \
	    -DTARNWICK_TEST_SET=concurrency
	$(CMAKE) --build build-tsa -j $(JOBS)
	cd build-tsa && ctest --output-on-failure -j $(JOBS)

test-tsan:
	$(CMAKE) -S . -B build-tsan -DTARNWICK_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
	    -DTARNWICK_SANITIZE=thread -DTARNWICK_TEST_SET=concurrency
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

install: all
	DESTDIR="$(DESTDIR)" $(CMAKE) --install build --prefix "$(PREFIX)"

uninstall:
	DESTDIR="$(DESTDIR)" $(CMAKE) -DPREFIX="$(PREFIX)" -P cmake/uninstall.cmake

# The fuzz targets of fuzz/, built with clang in build-fuzz/. test-fuzz runs each over its seeds
# once, a regression check of seconds; fuzz runs each for FUZZ_SECONDS and keeps what it finds
# in build-fuzz/corpus/ and build-fuzz/artifacts/.
fuzz-build:
	$(CMAKE) -S . -B build-fuzz -DTARNWICK_WERROR=ON -DTARNWICK_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++
	$(CMAKE) --build build-fuzz -j $(JOBS) --target fuzz_targets

test-fuzz: fuzz-build
	scripts/fuzz seeds

fuzz: deps fuzz-build
	scripts/fuzz $(FUZZ_SECONDS)

demo: deps all
	scripts/demo

# The parse benchmark runs twice: as it stands, and with freed memory kept by the allocator, which
# leaves the parser's own cost without the first touch of fresh pages that the biggest page's
# records pay in a cold process.
bench: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j $(JOBS)
	build/bench/html_parse_bench
	GLIBC_TUNABLES=glibc.malloc.trim_threshold=4294967295:glibc.malloc.mmap_threshold=33554432 \
	    build/bench/html_parse_bench --benchmark_min_time=2
	scripts/bench

clean:
	rm -rf build build-asan build-tsan build-tsa build-fuzz
