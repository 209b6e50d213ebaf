# Entry points: `make test` runs every test suite from a fresh clone; `make build` builds the core.
.PHONY: deps build build-asan test test-core test-asan format clean

JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo

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

test-asan: build-asan
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test: test-core test-asan

format:
	find core python_bindings -name '*.h' -o -name '*.cpp' -o -name '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan
