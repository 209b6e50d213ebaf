#!/usr/bin/env bash
# Runs the libFuzzer targets of build-fuzz/ one after another.
#
#   scripts/fuzz.sh SECONDS [TARGET...]   each target for SECONDS (all targets by default)
#   scripts/fuzz.sh --runs N [TARGET...]  each target for N executions
#
# Each target keeps its corpus in build-fuzz/corpus/<target> (seeded from build-fuzz/seeds) and
# writes crashing, leaking or slow inputs to build-fuzz/artifacts/. Exits non-zero at the first
# target that finds one. FUZZ_FLAGS adds libFuzzer flags.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
all_targets=(kbr_reader sponge_reader mojang_reader any_reader pipeline gzip_chain nbt_tree
             nbt_events block_state difference volume_sponge volume_structure volume_kbr
             volume_load)

limit=()
case "${1:-}" in
  --runs) limit=(-runs="$2"); shift 2 ;;
  ''|-*) echo "usage: $0 SECONDS|--runs N [TARGET...]" >&2; exit 2 ;;
  *) limit=(-max_total_time="$1"); shift ;;
esac
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=("${all_targets[@]}")

dicts_of() {
  case "$1" in
    kbr_reader|volume_kbr) echo kbr ;;
    volume_sponge|volume_structure) echo nbt ;;
    volume_load) echo "gzip nbt kbr" ;;
    sponge_reader|mojang_reader|nbt_tree|nbt_events) echo nbt ;;
    any_reader) echo "nbt kbr" ;;
    pipeline) echo "gzip nbt kbr" ;;
    gzip_chain) echo gzip ;;
    block_state) echo block_state ;;
    difference) echo "difference block_state" ;;
  esac
}

# The longest input each target is given. Compressed inputs inflate up to a thousandfold, so
# theirs are shorter; the text grammars need a little over their 4096-byte limit.
max_len_of() {
  case "$1" in
    pipeline|volume_load) echo 2048 ;;
    gzip_chain) echo 4096 ;;
    block_state|difference) echo 8192 ;;
    *) echo 16384 ;;
  esac
}

rm -rf "$build/seeds"
"$build/fuzz/make_seeds" "$build/seeds" >/dev/null
mkdir -p "$build/artifacts" "$build/dict"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  dict="$build/dict/$target.dict"
  : >"$dict"
  for d in $(dicts_of "$target"); do cat "fuzz/dict/$d.dict" >>"$dict"; done
  echo "== $target"
  # Leaks are checked after every input; 10 s for one input counts as a hang; one allocation or
  # the whole process above 2 GiB counts as a memory fault.
  set +e
  "$build/fuzz/${target}_fuzz" "${limit[@]}" -max_len="$(max_len_of "$target")" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
    -dict="$dict" -artifact_prefix="$build/artifacts/$target-" ${FUZZ_FLAGS:-} "$corpus" \
    "$build/seeds/$target" 2>&1 | grep -E --line-buffered '^(#[0-9]+.*(DONE|INITED|pulse)|stat::|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written|Done [0-9]+ runs)'
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    echo "fuzz target $target failed (exit $status); see $build/artifacts/" >&2
    exit "$status"
  fi
done
