# The two commands a fresh machine needs: `make demo` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all demo test fuzz windows clean

all:
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DCHIPFERRY_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

demo: all
	@echo "The standalone simulated programmer is not built yet."
	@echo "Run against a real programmer with: CHIPFERRY_COM1=/dev/ttyUSB0 $(BUILD)/release/chipferry"

test:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DCHIPFERRY_SANITIZE=ON
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

# libFuzzer on the whole program; FUZZ_SECONDS bounds the run.
FUZZ_SECONDS ?= 60
fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHIPFERRY_FUZZ=ON -DCHIPFERRY_TESTS=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target chipferry_fuzz
	mkdir -p $(BUILD)/fuzz/corpus
	$(BUILD)/fuzz/chipferry_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $(abspath $(BUILD)/fuzz/corpus) $(abspath fuzz/corpus)

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
	  -DCMAKE_BUILD_TYPE=Release -DCHIPFERRY_TESTS=OFF
	cmake --build $(BUILD)/windows -j $(JOBS)
	@echo "Built $(BUILD)/windows/chipferry.exe"
endif

clean:
	rm -rf $(BUILD)
