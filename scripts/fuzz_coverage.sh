#!/usr/bin/env bash
# Source coverage reached by the fuzz targets' corpora: builds build-fuzz-cov/ with clang's
# coverage instrumentation, runs every input of build-fuzz/corpus/<target> (and the seeds) once,
# and prints the line and branch coverage of the component each target is aimed at.
#
#   scripts/fuzz_coverage.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz-cov
all_targets=(kbr_reader sponge_reader mojang_reader any_reader pipeline gzip_chain nbt_tree
             nbt_events block_state difference litematic_reader)
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=("${all_targets[@]}")

files_of() {
  case "$1" in
    kbr_reader) echo formats/kbr_reader.cpp ;;
    sponge_reader) echo formats/sponge_reader.cpp nbt/nbt_tree.cpp store/lazy_palette_store.cpp ;;
    mojang_reader) echo formats/mojang_reader.cpp nbt/nbt_events.cpp store/lazy_palette_store.cpp ;;
    any_reader) echo formats/any_reader.cpp io/shared_stream.cpp ;;
    pipeline) echo formats/any_reader.cpp io/gzip_source.cpp ;;
    gzip_chain) echo io/gzip_source.cpp ;;
    nbt_tree) echo nbt/nbt_tree.cpp nbt/modified_utf8.cpp ;;
    nbt_events) echo nbt/nbt_events.cpp nbt/modified_utf8.cpp ;;
    block_state) echo common/block_state.cpp ;;
    difference) echo common/difference.cpp ;;
    litematic_reader) echo volume/litematic_reader.cpp volume/litematic_assembly.cpp \
      volume/litematic_nbt_walk.cpp ;;
  esac
}

flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKUBREL_FUZZ=ON \
  -DKUBREL_BUILD_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null
mkdir -p "$build/profiles"
for target in "${targets[@]}"; do
  profile="$build/profiles/$target"
  rm -f "$profile".*
  inputs=(build-fuzz/corpus/"$target" build-fuzz/seeds/"$target")
  LLVM_PROFILE_FILE="$profile.profraw" "$build/fuzz/${target}_fuzz" -runs=0 -rss_limit_mb=4096 \
    "${inputs[@]}" >/dev/null 2>&1 || true
  llvm-profdata-16 merge -sparse "$profile.profraw" -o "$profile.profdata"
  echo "== $target ($(find "${inputs[@]}" -type f 2>/dev/null | wc -l) inputs)"
  files=()
  for f in $(files_of "$target"); do files+=("core/src/$f"); done
  llvm-cov-16 report "$build/fuzz/${target}_fuzz" -instr-profile="$profile.profdata" \
    "${files[@]}" | awk 'NR > 2 && !/^-/ { printf "  %-38s lines %7s  branches %7s\n", $1, $10, $13 }'
done
