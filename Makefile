# Entry points: `make example` solves the bundled network, `make test` builds and runs every test.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON
VENV := $(CURDIR)/.venv
VENV_PYTHON := $(VENV)/bin/python
# The tools the virtual environment brings (cmake, ninja) come first.
export PATH := $(VENV)/bin:$(PATH)

.PHONY: deps venv build test test-cpp test-sanitize install-python test-python test-python-asan \
        example bench bench-python format format-check

deps:
	@PYTHON=$(PYTHON) tools/setup.sh

venv: deps
	@PYTHON=$(PYTHON) VENV=$(VENV) tools/setup_python.sh

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

# Builds the package from this tree and installs it into the virtual environment.
install-python: venv
	$(VENV_PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation \
	      --force-reinstall --no-deps .

test-python: install-python
	$(VENV_PYTHON) -m pytest -q -p no:cacheprovider tests/python

# The Python tests once more against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer, loaded into the ordinary interpreter with the ASan runtime preloaded
# (with the C++ runtime beside it, so that ASan finds the exception machinery it wraps).
test-python-asan: venv
	cmake -S . -B build-python-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DQM_SANITIZE=ON -DQM_BUILD_PYTHON=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF \
	      -DPython_EXECUTABLE=$(VENV_PYTHON)
	cmake --build build-python-asan -j $(JOBS)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	      ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/build-python-asan/python \
	      $(VENV_PYTHON) -m pytest -q -p no:cacheprovider tests/python

test: format-check test-cpp test-sanitize test-python test-python-asan

example: install-python
	$(VENV_PYTHON) examples/solve_network.py

bench: build
	@for b in build/bench/bench_*; do echo "== $$b"; $$b; done

# solve() from Python against the same solve in C++ alone, on a network of about 10,000 buses.
bench-python: build install-python
	$(VENV_PYTHON) bench/python_solve.py --cpp build/bench/bench_single_solve

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

# Every C++ file as clang-format writes it (.clang-format).
format-check: deps
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')
