#!/usr/bin/env bash
# Installs kubrel_rs into a virtual environment of the repository and runs the Python tests there.
# Usage: scripts/python-test.sh VENV PYTHON_VERSION NUMPY_REQUIREMENT [asan]
# With "asan" the extension is built with AddressSanitizer and UndefinedBehaviorSanitizer and the
# tests run with their runtimes preloaded (the interpreter itself is not instrumented).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
version=$2
numpy_requirement=$3
mode=${4:-plain}

python=$(scripts/find-python.sh "$version")
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" pytest "$numpy_requirement"

build_settings=(-Cbuild-dir="build-py/$(basename "$venv")")
[ "$mode" = asan ] && build_settings+=(-Ccmake.define.KUBREL_SANITIZE=ON)
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "${build_settings[@]}" .

versions='import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)'
echo "== pytest ($mode): $("$venv/bin/python" -c "$versions")"
if [ "$mode" = asan ]; then
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest -q tests
else
  "$venv/bin/python" -m pytest -q tests
fi
