#!/usr/bin/env bash
# Prints the path of a working interpreter for Python VERSION (e.g. 3.13): from PATH first, then
# from pyenv's versions. Fails when there is none.
set -euo pipefail
version=$1
check() {
  "$1" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$version'; print(sys.executable)" \
    2>/dev/null
}
candidates=("python$version")
for root in "${PYENV_ROOT:-}" "$HOME/.pyenv" /root/.pyenv; do
  [ -n "$root" ] || continue
  for found in "$root"/versions/"$version"*/bin/python"$version"; do
    [ -x "$found" ] && candidates+=("$found")
  done
done
for candidate in "${candidates[@]}"; do
  if command -v "$candidate" >/dev/null 2>&1 && check "$candidate"; then
    exit 0
  fi
done
echo "no Python $version found (looked on PATH and in pyenv's versions)" >&2
exit 1
