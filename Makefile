# Entry points: `make test` runs every test suite from a fresh clone; `make build` builds the core.
.PHONY: deps build build-asan build-fuzz test test-core test-asan fuzz fuzz-smoke format clean

JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo
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

test-asan: build-asan
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test: test-core test-asan

build-fuzz:
	@scripts/install-deps.sh --fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUBREL_FUZZ=ON \
		-DKUBREL_BUILD_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++-16
	cmake --build build-fuzz -j $(JOBS)

fuzz: build-fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-smoke: build-fuzz
	scripts/fuzz.sh $(FUZZ_SMOKE_SECONDS)

format:
	find core python_bindings -name '*.h' -o -name '*.cpp' -o -name '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz
