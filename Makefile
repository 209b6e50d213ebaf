# Entry points: `make test` runs every test suite from a fresh clone; `make build` builds the core;
# `make demo` installs the module into a virtual environment and reads the examples; `make bench`
# runs the reading benchmark and rewrites bench/README.md; `make fuzz` runs the fuzz targets.
.PHONY: deps build build-asan build-fuzz test test-core test-core-zlib test-asan test-python test-py313 \
	test-py311 test-py-asan test-py-refs demo bench examples fuzz fuzz-smoke fuzz-coverage format clean

JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo
export CMAKE_BUILD_PARALLEL_LEVEL = $(JOBS)
# Seconds each fuzz target runs under `make fuzz`; the smoke run gives each about six.
FUZZ_SECONDS ?= 300
FUZZ_SMOKE_SECONDS ?= 6

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKUBREL_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)

test-core: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The core built with zlib as its only inflater, as on a machine without ISA-L or libdeflate.
test-core-zlib: deps
	cmake -S . -B build-zlib -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DKUBREL_INFLATERS=zlib
	cmake --build build-zlib -j $(JOBS)
	ctest --test-dir build-zlib --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The Python tests on Python 3.13 with NumPy 2, on Python 3.11 with NumPy 1.26, and once with the
# extension built under the sanitizers; each in its own virtual environment in the repository.
test-py313: deps
	scripts/install-deps.sh --browser
	scripts/python-test.sh .venv-313 3.13 'numpy>=2'

test-py311: deps
	scripts/python-test.sh .venv-311 3.11 'numpy>=1.26,<1.27'

test-py-asan: deps
	scripts/python-test.sh .venv-asan 3.13 'numpy>=2' asan

# The leak checks once more under the system's debug interpreter, which counts every reference.
test-py-refs: deps
	scripts/install-deps.sh --debug-python
	scripts/python-test.sh .venv-refs 3.11 'numpy>=1.26,<1.27' refs

test-python: test-py313 test-py311 test-py-asan test-py-refs

# Ends with the fuzz smoke run (a few seconds per target), so the fuzz targets keep building.
test: test-core test-core-zlib test-asan test-python fuzz-smoke

demo: deps
	scripts/demo.sh

# Not part of `make test`: timings belong in bench/README.md, never in assertions.
bench: deps
	scripts/bench.sh

examples: demo
	.venv-demo/bin/python scripts/make_examples.py

build-fuzz:
	@scripts/install-deps.sh --fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUBREL_FUZZ=ON \
		-DKUBREL_BUILD_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++-16
	cmake --build build-fuzz -j $(JOBS)

fuzz: build-fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-smoke: build-fuzz
	scripts/fuzz.sh $(FUZZ_SMOKE_SECONDS)

fuzz-coverage: build-fuzz
	scripts/fuzz_coverage.sh

format:
	@scripts/install-deps.sh --format
	find core python_bindings fuzz bench/core -name '*.h' -o -name '*.cpp' -o -name '*.c' | \
		xargs clang-format-16 -i

clean:
	rm -rf build build-asan build-zlib build-py build-bench build-zlib-bench build-fuzz build-fuzz-cov
