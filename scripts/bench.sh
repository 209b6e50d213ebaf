#!/usr/bin/env bash
# Builds what the benchmarks need and runs them: the extension in Release mode in .venv-bench with
# the command's and the cluster's extras (for the collection scan), matplotlib for the chart, and the
# NBT libraries whose pipelines are the peers (nbtlib and NBT, both MIT, installed here only, never a
# dependency of the product) and a pure-Python world reader (anvil-parser2, MIT, the same); the core
# benchmark tool and the plain object floor's module (for that Python) in build-bench/, the tool
# built with zlib alone in build-zlib-bench/; the generated inputs in bench/data/. Then the reading
# benchmark (bench/run.py, which takes the extra arguments), the collection scan
# (bench/scan_collection.py; SCAN_COUNT files, 100000 unless set, 0 to skip it) and, where the real
# worlds are at hand, a region file read to per-chunk arrays beside its floor and the peers
# (bench/world_bench.py) and the world scan on processes and Dask (bench/world_scan_bench.py).
# amulet-nbt (its own non-commercial licence: only run here as a peer, never a dependency) has no
# wheel for this Python, and its build asks for a NumPy 1 built from source: it is built here
# against the environment's NumPy instead, which it runs with. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-bench

python=$(scripts/find-python.sh 3.13)
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" numpy matplotlib \
  "nbtlib==2.0.4" "NBT==1.5.1" "anvil-parser2==0.10.6"
"$venv/bin/python" -m pip install -q "cython~=3.0" versioneer setuptools wheel mutf8
"$venv/bin/python" -m pip show -q amulet-nbt 2>/dev/null ||
  "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "amulet-nbt==2.0.6"
"$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir=build-py/bench \
  -Ccmake.build-type=Release ".[dask]"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKUBREL_BUILD_TESTS=OFF \
  -DKUBREL_BUILD_BENCH=ON -DPython3_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build build-bench -j "${JOBS:-2}" --target kubrel_bench kubrel_object_floor
# The same tool with zlib as its only inflater, for the reading table's zlib-only column.
cmake -S . -B build-zlib-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKUBREL_BUILD_TESTS=OFF \
  -DKUBREL_BUILD_BENCH=ON -DKUBREL_INFLATERS=zlib >/dev/null
cmake --build build-zlib-bench -j "${JOBS:-2}" --target kubrel_bench

# The inputs are rewritten only when missing or older than their generator.
stamp=bench/data/single_run.kbr
if [ ! -f "$stamp" ] || [ bench/make_inputs.py -nt "$stamp" ]; then
  "$venv/bin/python" bench/make_inputs.py bench/data
fi

"$venv/bin/python" bench/run.py "$@"
[ -d ../shared/corpus/real ] && "$venv/bin/python" bench/transform_bench.py --corpus ../shared/corpus/real

count=${SCAN_COUNT:-100000}
if [ "$count" -gt 0 ]; then
  scan=(--count "$count")
  [ -d ../shared/corpus/real ] && scan+=(--corpus ../shared/corpus/real)
  "$venv/bin/python" bench/scan_collection.py "${scan[@]}"
fi
worlds=../shared/corpus/worlds
if [ -d "$worlds" ]; then
  "$venv/bin/python" bench/world_bench.py --worlds "$worlds" \
    --tool build-bench/bench/core/kubrel_bench
  "$venv/bin/python" bench/world_scan_bench.py --worlds "$worlds"
fi
