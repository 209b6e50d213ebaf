#!/usr/bin/env bash
# Installs what building and testing need, only where it is missing (safe to run again).
set -euo pipefail

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(googletest libgtest-dev)
[ -f /usr/include/isa-l/igzip_lib.h ] || need_apt+=(libisal-dev)
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
