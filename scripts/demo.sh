#!/usr/bin/env bash
# Installs the kubrel distribution (kubrel and kubrel_rs) into .venv-demo, made with the newest
# Python 3.11 or later found, with the `cli` extra, reads the example schematics, shows what
# `kubrel info` says about them and renders each into build-demo/NAME.png.
set -euo pipefail
cd "$(dirname "$0")/.."
for version in 3.14 3.13 3.12 3.11; do
  python=$(scripts/find-python.sh "$version" 2>/dev/null) && break
done
if [ -z "${python:-}" ]; then
  echo "no Python 3.11 or later found" >&2
  exit 1
fi
venv=.venv-demo
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10"
"$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir=build-py/demo ".[cli]"
"$venv/bin/python" examples/demo.py
examples=(examples/hut.schem examples/hut.nbt examples/hut.kbr)
"$venv/bin/kubrel" info "${examples[@]}"
mkdir -p build-demo
for example in "${examples[@]}"; do
  "$venv/bin/kubrel" render "$example" -o "build-demo/$(basename "$example").png"
done
