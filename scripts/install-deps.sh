#!/usr/bin/env bash
# Installs what building and testing need, only where it is missing (safe to run again).
# With --fuzz it also installs clang and its sanitizer/libFuzzer runtimes for the fuzz targets;
# with --debug-python, the system's debug build of Python 3.11 and its headers for the reference
# count checks; with --format, clang-format for `make format`.
set -euo pipefail

fuzz=0
debug_python=0
format=0
browser=0
for arg in "$@"; do
  case "$arg" in
    --fuzz) fuzz=1 ;;
    --debug-python) debug_python=1 ;;
    --format) format=1 ;;
    --browser) browser=1 ;;
    *) echo "usage: $0 [--fuzz] [--debug-python] [--format] [--browser]" >&2; exit 2 ;;
  esac
done

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(googletest libgtest-dev)
[ -f /usr/include/isa-l/igzip_lib.h ] || need_apt+=(libisal-dev)
[ -f /usr/include/libdeflate.h ] || need_apt+=(libdeflate-dev)
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/lz4.h ] || need_apt+=(liblz4-dev)
if [ "$fuzz" -eq 1 ]; then
  command -v clang++-16 >/dev/null 2>&1 || need_apt+=(clang-16)
  compgen -G "/usr/lib/llvm-16/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null ||
    need_apt+=(libclang-rt-16-dev)
fi
if [ "$format" -eq 1 ]; then
  command -v clang-format-16 >/dev/null 2>&1 || need_apt+=(clang-format-16)
fi
if [ "$browser" -eq 1 ]; then
  [ -x /usr/bin/chromium ] || need_apt+=(chromium)
fi
if [ "$debug_python" -eq 1 ]; then
  command -v python3.11d >/dev/null 2>&1 || need_apt+=(python3.11-dbg python3.11-venv)
  # The debug headers are links into the release ones.
  [ -f /usr/include/python3.11d/Python.h ] || need_apt+=(libpython3.11-dbg)
  [ -f /usr/include/python3.11/Python.h ] || need_apt+=(libpython3.11-dev)
fi
if [ "${#need_apt[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}"
fi

python=${PYTHON:-python3}
command -v cmake >/dev/null 2>&1 || "$python" -m pip install -q cmake
command -v ninja >/dev/null 2>&1 || "$python" -m pip install -q ninja
exit 0
