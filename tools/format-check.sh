#!/usr/bin/env bash
# Checks every tracked C++ file (*.cpp, *.h) against .clang-format with
# clang-format-14, and fails listing the files whose formatting differs.
# Installs clang-format-14 when it is missing (needs root or sudo then).
#
#   tools/format-check.sh                 check
#   clang-format-14 -i FILE...            reformat the files it lists
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if ! command -v clang-format-14 >/dev/null; then
  echo "== installing: clang-format-14"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang-format-14
fi

differing=()
while IFS= read -r -d '' file; do
  clang-format-14 --style=file "$file" | cmp -s - "$file" || differing+=("$file")
done < <(git ls-files -z '*.cpp' '*.h')

if [ ${#differing[@]} -gt 0 ]; then
  echo "formatting differs from .clang-format (clang-format-14 -i FILE fixes it):"
  printf '  %s\n' "${differing[@]}"
  exit 1
fi
echo "formatting: all tracked C++ files match .clang-format"
