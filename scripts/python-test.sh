#!/usr/bin/env bash
# Installs the kubrel distribution (the kubrel package and the kubrel_rs module) into a virtual
# environment of the repository and runs the Python tests there; the plain runs install it with
# its `cli` and `dask` extras.
# Usage: scripts/python-test.sh VENV PYTHON_VERSION NUMPY_REQUIREMENT [asan|refs]
# With "asan" the extension is built with AddressSanitizer and UndefinedBehaviorSanitizer and the
# tests run with their runtimes preloaded (the interpreter itself is not instrumented). With "refs"
# the interpreter is the system's debug build (python3.Nd), which counts every reference, and only
# the leak checks run.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
version=$2
numpy_requirement=$3
mode=${4:-plain}

if [ "$mode" = refs ]; then
  python=$(command -v "python${version}d") ||
    { echo "no python${version}d: run scripts/install-deps.sh --debug-python" >&2; exit 1; }
else
  python=$(scripts/find-python.sh "$version")
fi
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" pytest "$numpy_requirement"

build_settings=(--config-settings=build-dir="build-py/$(basename "$venv")")
[ "$mode" = asan ] && build_settings+=(--config-settings=cmake.define.KUBREL_SANITIZE=ON)
# Debian's debug headers include the release pyconfig.h, which leaves Py_DEBUG unset: the
# extension would then not count its references, and every count would look off.
[ "$mode" = refs ] && build_settings+=(--config-settings=cmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG)
if [ "$mode" = plain ]; then
  # The plain runs also test the command and the collection jobs, so they bring the extras' libraries;
  # naming the NumPy requirement again keeps the run's NumPy whatever those libraries accept.
  "$venv/bin/python" -m pip install -q --no-build-isolation "${build_settings[@]}" ".[cli,dask]" \
    "$numpy_requirement"
else
  "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "${build_settings[@]}" .
fi

# The viewer's browser tests drive Debian's Chromium (scripts/install-deps.sh --browser) through
# Playwright, on the main run only; its own browser download is never fetched.
[ "$mode" = plain ] && [ "$version" = 3.13 ] && "$venv/bin/python" -m pip install -q playwright

versions='import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)'
echo "== pytest ($mode): $("$venv/bin/python" -c "$versions")"
if [ "$mode" = asan ]; then
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  # The sanitized run skips the round trips of the largest files: their code paths are the small
  # files' ones, at many times the plain run's time.
  KUBREL_TEST_SMALL=1 LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest -q tests
elif [ "$mode" = refs ]; then
  "$venv/bin/python" -m pytest -q tests/test_leaks.py
else
  "$venv/bin/python" -m pytest -q tests
fi
