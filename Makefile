# The two commands a fresh machine needs: `make demo` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all demo test clean

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

clean:
	rm -rf $(BUILD)
