# Entry points: `make example` solves the bundled network, `make test` builds and runs every test.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON

.PHONY: deps build test test-cpp test-sanitize bench format

deps:
	@PYTHON=$(PYTHON) tools/setup.sh

build: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test-cpp: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The C++ tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-sanitize $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON \
	      -DQM_BUILD_BENCH=OFF
	cmake --build build-sanitize -j $(JOBS)
	ctest --test-dir build-sanitize --output-on-failure -j $(JOBS)

test: test-cpp test-sanitize

bench: build
	@for b in build/bench/bench_*; do echo "== $$b"; $$b; done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
