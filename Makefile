# The two commands a fresh machine needs: `make demo` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
# The chip in the simulated programmer's socket for the demo.
DEMO_CHIP  ?= 2764A

.PHONY: all demo test soak lint install package fuzz windows windows-test windows-package bench clean

all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DCHIPFERRY_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

# chipferry in this terminal, against a simulated programmer that moves
# bytes at the real line speed. The traffic goes to $(BUILD)/demo-traffic.log.
demo: all
	@echo
	@echo "chipferry against chipferry-sim, a simulated SE4943 at 19,200 baud."
	@echo "In the socket: a blank $(DEMO_CHIP) EPROM; the programmer is set to $(DEMO_CHIP)."
	@echo "Try 3 and 4 (ROM types), 9 (blank check), 5 (dump), 2 (save the buffer to"
	@echo "a file), 1 (load a file), 6 (compare), 7 (program; type PROGRAM, then wait"
	@echo "5 ms a byte), 8 (erase; an EPROM refuses). q quits."
	@echo "The traffic is logged in $(BUILD)/demo-traffic.log."
	@$(BUILD)/release/chipferry-sim --chip $(DEMO_CHIP) --type $(DEMO_CHIP) \
	    --log $(BUILD)/demo-traffic.log --run $(BUILD)/release/chipferry

# Where we develop, warnings are errors (CHIPFERRY_WERROR); a plain CMake
# build, as a packager or a user makes one, only reports them.
DEV_OPTIONS = -DCHIPFERRY_WERROR=ON

test:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DCHIPFERRY_SANITIZE=ON $(DEV_OPTIONS)
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

# The house style and the static checks (clang-format, clang-tidy); needs
# clang, clang-format and clang-tidy.
lint:
	bash .ci/lint.sh $(BUILD)/lint $(JOBS)

# The end-to-end tests 20 times in a row, six at a time, with both cores
# kept busy; a program to run, not part of make test. Ends with
# "N passed, M failed".
SOAK_RUNS ?= 20
soak:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DCHIPFERRY_SANITIZE=ON $(DEV_OPTIONS)
	cmake --build $(BUILD)/test -j $(JOBS)
	bash tests/soak.sh $(BUILD)/test $(SOAK_RUNS)

# The measured speed and idle cost of chipferry against chipferry-sim over a
# pseudo-terminal; a program to run, not a test. Takes about two minutes.
bench: all
	python3 bench/bench.py $(BUILD)/release

# libFuzzer on each target in turn, each from its corpus fuzz/NAME_corpus,
# keeping what it finds in $(BUILD)/fuzz/NAME_corpus: the whole program,
# the text image codec, the trace reader and the replay, and the network
# port's Telnet client. FUZZ_SECONDS bounds each run.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = chipferry text_image trace rfc2217
fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHIPFERRY_FUZZ=ON \
	  -DCHIPFERRY_TESTS=OFF $(DEV_OPTIONS)
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzz)
	set -e; for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD)/fuzz/$${target}_corpus; \
	  $(BUILD)/fuzz/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(abspath $(BUILD)/fuzz)/$${target}_corpus $(abspath fuzz)/$${target}_corpus; \
	done

# A Windows build on this machine, with the MinGW-w64 cross compiler.
MINGW_CXX := $(shell command -v x86_64-w64-mingw32-g++ || command -v x86_64-w64-mingw32-g++-win32)

windows:
ifeq ($(MINGW_CXX),)
	@echo "make windows needs the MinGW-w64 cross compiler x86_64-w64-mingw32-g++."
	@echo "Install the Debian package g++-mingw-w64-x86-64-win32, e.g.:"
	@echo "  apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-win32"
	@exit 1
else
	cmake -S . -B $(BUILD)/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DCHIPFERRY_TESTS=OFF $(DEV_OPTIONS)
	cmake --build $(BUILD)/windows -j $(JOBS) --target chipferry
	@echo "Built $(BUILD)/windows/chipferry.exe"
endif

# The session tests with chipferry.exe under Wine in place of the Linux
# chipferry, on pseudo-terminals (needs wine and wine64), and a session
# through ser2net, which reaches the Winsock side of the network port.
# WINE_TESTS picks the tests, as a GoogleTest filter.
WINE_TESTS ?= Session.*:Remote.*
windows-test: windows
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DCHIPFERRY_SANITIZE=ON $(DEV_OPTIONS)
	cmake --build $(BUILD)/test -j $(JOBS) --target chipferry_e2e
	CHIPFERRY_WINE_FILTER='$(WINE_TESTS)' bash tests/wine/run_e2e.sh \
	  $(BUILD)/windows/chipferry.exe $(abspath $(BUILD)/test/chipferry_e2e)

# chipferry, chipferry-sim, their manual pages, the README, the copyright
# file and the changelog under $(PREFIX).
install: all
	cmake --install $(BUILD)/release --prefix $(PREFIX)

# The Debian package, $(BUILD)/release/chipferry_<version>_<arch>.deb
# (CPack; needs dpkg-dev for the dependencies it computes).
package: all
	cd $(BUILD)/release && cpack -G DEB
	@ls $(BUILD)/release/*.deb

# The Windows zip, $(BUILD)/windows/chipferry-<version>-windows-x86_64.zip:
# one folder chipferry-<version>/ with chipferry.exe, the manual written for
# Windows as plain text (README.txt, needs nroff) and the licence.
windows-package: windows
	cmake --build $(BUILD)/windows -j $(JOBS)
	cd $(BUILD)/windows && cpack -G ZIP
	@ls $(BUILD)/windows/*.zip

clean:
	rm -rf $(BUILD)
