# The README's two commands, and the builds behind them.
#
#   make test   static analysis, host suite, sanitizer suite, fuzz corpora, the 32-bit ARM suite
#               under qemu-arm, the coverage floor, and the Debian packages checked
#   make demo   one registration on a simulated handset, then the same SIM again
#   make demo-modem  dmregd registering a Linux device over the simulated modem
#   make package     the Debian packages, in build-package/; make package-arm the armhf and arm64 ones
#   make size   stripped size of libzavdmreg.so.1 as a handset's build makes it, and the others
#   make bench  the listener beside a minimal server, the PIN wait's memory, allocations, footprint

JOBS ?= 2
HOST := build
ASAN := build-asan
ARM := build-arm
COV := build-coverage
FUZZ := build-fuzz
SECONDS ?= 60
# The coverage that the suites must reach in each shipped layer, lines then branches; a change that
# lowers one fails the run.
COVERAGE_AREAS := library:src/,include/:100:95 platform:platform/atmodem/,platform/dmnative/:98:90 service:service/:98:90
# The host builds keep the status file inside their build tree and the socket in a folder of
# their own under /tmp; the ARM build is the shipping configuration with the fixed paths.
LOCAL_PATHS := -DDMREG_LOCAL_PATHS=ON

HOST_PACKAGES := cmake g++ make libgtest-dev googletest python3 valgrind gcovr clang-tidy cppcheck socat tshark pkg-config
PACKAGE_PACKAGES := cmake g++ make pkg-config debhelper dpkg-dev file lintian devscripts systemd systemd-container \
  debootstrap piuparts util-linux tshark
ARM_PACKAGE_PACKAGES := crossbuild-essential-armhf crossbuild-essential-arm64 libc6:armhf libstdc++6:armhf libc6:arm64 \
  libstdc++6:arm64 qemu-user
ARM_PACKAGES := g++-arm-linux-gnueabi qemu-user googletest

.PHONY: all test demo demo-modem package package-arm test-package size size-builds bench deps host asan arm test-host test-asan test-arm \
  coverage lint fuzz-build test-fuzz fuzz fuzz-long soak mutate clean

all: host

# Installs what is missing: with apt-get when run as root, otherwise it says what to run.
deps:
	@sh tools/ensure-packages.sh $(HOST_PACKAGES)

host: deps
	cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LOCAL_PATHS) >/dev/null
	cmake --build $(HOST) -j $(JOBS)

# Each step of make test adds a line on what it ran to the summary that make test ends with.
SUMMARY := build-summary.txt
# The GoogleTest programs' own reports, counted for the summary.
define ctest_in
	rm -rf $(1)/gtest && cd $(1) && GTEST_OUTPUT=xml:$(abspath $(1))/gtest/ $(2) ctest --output-on-failure -j $(JOBS)
	@sh tools/test-summary.sh $(1) "$(3)" >> $(SUMMARY)
endef

test-host: host
	$(call ctest_in,$(HOST),,host suite (build/))

asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug $(LOCAL_PATHS) \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

SANITIZER_OPTIONS := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan: asan
	$(call ctest_in,$(ASAN),$(SANITIZER_OPTIONS),sanitizer suite (build-asan/: ASan, UBSan, leak checking))

arm:
	cmake -S . -B $(ARM) -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(ARM) -j $(JOBS)

test-arm:
	@if sh tools/ensure-packages.sh $(ARM_PACKAGES); then \
	  $(MAKE) --no-print-directory arm && rm -rf $(ARM)/gtest && (cd $(ARM) && GTEST_OUTPUT=xml:$(abspath $(ARM))/gtest/ \
	    ctest --output-on-failure -j $(JOBS)) && sh tools/test-summary.sh $(ARM) "ARM suite (build-arm/, qemu-arm)" >> $(SUMMARY); \
	else \
	  echo "ARM suite: skipped, the cross compiler and qemu-arm are not installed (run as root, or install: $(ARM_PACKAGES))" | \
	    tee -a $(SUMMARY); \
	fi

test:
	@rm -f $(SUMMARY)
	@$(MAKE) --no-print-directory lint test-host test-asan test-fuzz test-arm coverage test-package
	@echo; echo "make test: every step passed."; sed 's/^/  /' $(SUMMARY)

FUZZ_PACKAGES := clang-14 libclang-rt-14-dev libfuzzer-14-dev
FUZZ_FLAGS := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_TARGETS := ack listener status_file tree_file scenario at_answer pdu tokenizer

# The libFuzzer targets, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer.
fuzz-build:
	@sh tools/ensure-packages.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LOCAL_PATHS) \
	  -DDMREG_FUZZ=ON -DDMREG_BUILD_TESTS=OFF -DDMREG_BUILD_TOOLS=OFF -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)

# Replays the committed corpora.
test-fuzz:
	@if sh tools/ensure-packages.sh $(FUZZ_PACKAGES); then \
	  $(MAKE) --no-print-directory fuzz-build && (cd $(FUZZ) && ctest --output-on-failure -j $(JOBS)) && \
	  echo "fuzz corpora: $(words $(FUZZ_TARGETS)) libFuzzer targets under ASan and UBSan replayed $$(find tests/fuzz/corpus -type f | wc -l) inputs" >> $(SUMMARY); \
	else \
	  echo "fuzz corpora: skipped, clang and libFuzzer are not installed (run as root, or install: $(FUZZ_PACKAGES))" | \
	    tee -a $(SUMMARY); \
	fi

# Fuzzes each target for SECONDS seconds on a copy of its corpus; a crash leaves its input in
# $(FUZZ)/crashes/ (make it a corpus entry, then fix it).
fuzz: fuzz-build
	@mkdir -p $(FUZZ)/crashes
	@for t in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ)/run/$$t && mkdir -p $(FUZZ)/run/$$t && cp tests/fuzz/corpus/$$t/* $(FUZZ)/run/$$t/; \
	  $(FUZZ)/bin/fuzz_$$t -max_total_time=$(SECONDS) -dict=tests/fuzz/dmreg.dict -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ)/crashes/$$t- $(FUZZ)/run/$$t > $(FUZZ)/run/$$t.log 2>&1; \
	  status=$$?; \
	  printf '%-12s %12s executions  %s\n' $$t "$$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ)/run/$$t.log)" \
	    "$$( [ $$status -eq 0 ] && echo 'no crash' || echo "CRASH: see $(FUZZ)/run/$$t.log")"; \
	done

# Each target fuzzed until it has run RUNS inputs (10^7), two at a time, on a copy of its corpus;
# the executions and the time each took are printed. Not part of make test: it takes hours.
RUNS ?= 10000000
fuzz-long: fuzz-build
	@mkdir -p $(FUZZ)/crashes
	@echo $(FUZZ_TARGETS) | tr ' ' '\n' | xargs -P $(JOBS) -I{} sh -c '\
	  t={}; rm -rf $(FUZZ)/long/$$t && mkdir -p $(FUZZ)/long/$$t && cp tests/fuzz/corpus/$$t/* $(FUZZ)/long/$$t/; \
	  start=$$(date +%s); \
	  $(FUZZ)/bin/fuzz_$$t -runs=$(RUNS) -dict=tests/fuzz/dmreg.dict -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ)/crashes/$$t- $(FUZZ)/long/$$t > $(FUZZ)/long/$$t.log 2>&1; \
	  status=$$?; \
	  printf "%-12s %12s executions in %6d s  %s\n" $$t "$$(sed -n "s/^stat::number_of_executed_units: *//p" $(FUZZ)/long/$$t.log)" \
	    $$(( $$(date +%s) - start )) "$$( [ $$status -eq 0 ] && echo "no crash" || echo "CRASH: see $(FUZZ)/long/$$t.log")"'

# The mutation run: each fault of tests/mutation/mutants.txt put into the code in turn, rebuilt
# and judged by the suites of its file (tools/mutate.py). Not part of make test: it takes about
# an hour.
mutate: deps
	@python3 tools/mutate.py build-mutate

# 1,000 registrations of dmregd --fast on the simulated modem, each with faults drawn at random
# (tools/soak.sh). Not part of make test: it takes about an hour.
SOAK_RUNS ?= 1000
soak: host
	@bash tools/soak.sh $(HOST) $(SOAK_RUNS)

# Static analysis of the library, the platform libraries and the service's programs: clang-tidy
# (.clang-tidy) and cppcheck.
LINTED := src/*.cpp platform/zavtapi/zavtapi.cpp platform/dmnative/dmnative.cpp platform/atmodem/*.cpp \
  service/*.cpp tools/*.cpp
# The project's own headers, named from the checkout's folder whatever it is called: every header of
# src/, service/, tools/ and platform/, and the vector template.
SOURCE_REGEX := $(shell printf '%s' '$(CURDIR)' | sed 's/[][\.*^$$+?(){}|]/\\&/g')
HEADER_FILTER := ^$(SOURCE_REGEX)/((src|service|tools|platform/[a-z]+)/[^/]*\.(h|hpp)|include/utility/dmvector)$$
lint: host
	clang-tidy -p $(HOST) --quiet --header-filter='$(HEADER_FILTER)' $(LINTED)
	cppcheck --enable=warning,performance,portability --std=c++17 --inline-suppr --error-exitcode=1 --quiet \
	  -I src -I include -I platform/include -I platform/zavtapi -I platform/dmnative -I platform/atmodem -I service -I $(HOST)/generated \
	  --suppress=missingIncludeSystem src platform service tools
	@echo "lint: clang-tidy and cppcheck find nothing in $(words $(wildcard $(LINTED))) files" | tee -a $(SUMMARY)

# Line and branch coverage of every shipped layer by the host suites: the library (src/, include/),
# the platform of a Linux device (the AT telephony, the file tree) and the service, each against
# its floor. Every program's counters must be written: the coverage runtime says in
# GCOV_ERROR_FILE when it lost some.
coverage: deps
	cmake -S . -B $(COV) -DCMAKE_BUILD_TYPE=Debug $(LOCAL_PATHS) \
	  -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
	cmake --build $(COV) -j $(JOBS)
	find $(COV) -name '*.gcda' -delete
	rm -f $(COV)/gcov-errors.log
	cd $(COV) && GCOV_ERROR_FILE=$(abspath $(COV))/gcov-errors.log ctest --output-on-failure -j $(JOBS) -E 'valgrind|demo'
	@if [ -s $(COV)/gcov-errors.log ]; then cat $(COV)/gcov-errors.log; echo "coverage: counters were lost"; exit 1; fi
	gcovr --root . --object-directory $(COV) --exclude-directories '.*/CMakeFiles/[0-9.]+/.*' \
	  --filter 'src/' --filter 'include/' --filter 'platform/atmodem/' --filter 'platform/dmnative/' --filter 'service/' \
	  --exclude-throw-branches --exclude-unreachable-branches --json $(COV)/coverage.json --html-details $(COV)/coverage.html
	@failed=0; for area in $(COVERAGE_AREAS); do \
	  name=$${area%%:*}; rest=$${area#*:}; folders=$${rest%%:*}; floors=$${rest#*:}; \
	  filters=$$(echo "$$folders" | tr ',' '\n' | sed "s|.*|--filter '&'|" | tr '\n' ' '); \
	  eval gcovr --root . --add-tracefile $(COV)/coverage.json $$filters --print-summary \
	    --fail-under-line $${floors%%:*} --fail-under-branch $${floors#*:} > $(COV)/summary-$$name.txt || failed=1; \
	  line="coverage of the $$name ($$(echo $$folders | sed 's/,/, /g')): $$(sed -n 's/^lines: //p' $(COV)/summary-$$name.txt) of lines, $$(sed -n 's/^branches: //p' $(COV)/summary-$$name.txt) of branches; floors $${floors%%:*} % and $${floors#*:} %"; \
	  echo "$$line"; echo "$$line" >> $(SUMMARY); \
	done; [ $$failed = 0 ] || { echo "coverage: below a floor"; exit 1; }

demo: deps
	@echo "building the library, the stand-ins and the simulated handset ($(HOST)/build.log)"
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LOCAL_PATHS) >$(HOST).log 2>&1 && \
	  cmake --build $(HOST) -j $(JOBS) >>$(HOST).log 2>&1 || { cat $(HOST).log; exit 1; }
	@mv -f $(HOST).log $(HOST)/build.log
	@bash tools/demo.sh $(HOST)

demo-modem: host
	@bash tools/demo-modem.sh $(HOST)

PACKAGE := build-package
# The Debian packages of a Linux device, built with debhelper (debian/): installed under /usr,
# state in /var/lib/dmreg, the socket in /run/dmreg, every binary hardened.
package:
	@sh tools/ensure-packages.sh $(PACKAGE_PACKAGES)
	@sh tools/build-packages.sh $$(dpkg --print-architecture) $(PACKAGE)

# The same for the devices' ARM processors: armhf (hard-float, 32 bits) and arm64, cross-built.
package-arm:
	@sh tools/ensure-packages.sh $(PACKAGE_PACKAGES) $(ARM_PACKAGE_PACKAGES)
	@sh tools/build-packages.sh armhf $(PACKAGE)/armhf
	@sh tools/build-packages.sh arm64 $(PACKAGE)/arm64

# The packages judged as the devices' distributions judge them (tools/package-check.sh).
test-package: package package-arm
	@bash tools/package-check.sh $(PACKAGE)
	@sed 's/^/packages: /' $(PACKAGE)/report.txt >> $(SUMMARY)

# The library as an integrator builds it for an ARMv7 handset: -Os, Thumb-2 and ARM code.
size-builds: deps
	@sh tools/ensure-packages.sh $(ARM_PACKAGES)
	@for mode in thumb arm; do \
	  cmake -S . -B build-size-$$mode -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
	    -DCMAKE_CXX_FLAGS_MINSIZEREL="-Os -DNDEBUG -march=armv7-a -m$$mode" -DDMREG_BUILD_TESTS=OFF -DDMREG_BUILD_TOOLS=OFF >/dev/null && \
	  cmake --build build-size-$$mode -j $(JOBS) --target zavdmreg >/dev/null || exit 1; \
	done

size: host arm size-builds
	@echo "| measure | value | goal |"; echo "|---|---|---|"
	@sh tools/size-report.sh "ARM Thumb-2 -Os (MinSizeRel)=build-size-thumb" "ARM -Os (MinSizeRel)=build-size-arm" \
	  "ARM, the test build (RelWithDebInfo)=$(ARM)" "host x86-64 (RelWithDebInfo)=$(HOST)"

BENCH := build-bench
# The benchmarks and the footprint, in one table.
bench: host arm size-builds
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release $(LOCAL_PATHS) -DDMREG_BUILD_TESTS=OFF >/dev/null
	cmake --build $(BENCH) -j $(JOBS) --target dmreg-bench >/dev/null
	@echo "dmreg-bench, $$(date -u +%F), $$(nproc) cores of $$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)"
	@$(BENCH)/bin/dmreg-bench
	@sh tools/size-report.sh "ARM Thumb-2 -Os (MinSizeRel)=build-size-thumb" "ARM -Os (MinSizeRel)=build-size-arm" \
	  "ARM, the test build (RelWithDebInfo)=$(ARM)" "host x86-64 (RelWithDebInfo)=$(HOST)"

clean:
	rm -rf $(HOST) $(ASAN) $(ARM) $(COV) $(FUZZ) $(BENCH) $(PACKAGE) build-size-thumb build-size-arm build-mutate $(SUMMARY)
