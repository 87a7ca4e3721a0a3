#!/usr/bin/env bash
# Rewrites debian/<package>.symbols of every library package from the
# libraries that tools/make-debs.sh built last (build-deb/tree/debian/<package>/),
# for a release that adds symbols (the build fails until the file lists them):
#   - a symbol the file lists keeps its line, with the version that brought it;
#   - a new symbol gets the version of debian/changelog's latest entry,
#     written demangled with the (c++) tag so that one line fits every
#     64-bit architecture;
#   - a symbol that is gone stays, marked #MISSING#: removing one is an
#     incompatible change, which takes a new ABI version (README, ABI policy)
#     and so a new package name and a new symbols file.
#
#   tools/update-symbols.sh [TREE]     (default: build-deb/tree)
#
# Review the diff (git diff debian/) before committing it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tree=${1:-$root/build-deb/tree}
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
dev_package=$(sed -n 's/^Package: \(lib.*-dev\)$/\1/p' "$root/debian/control")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# demangle: new symbols come out of dpkg-gensymbols mangled; give them the
# (c++) form that the rest of the file has.
demangle() {
  local line
  while IFS= read -r line; do
    if [[ $line =~ ^\ (_Z[^@\ ]+)@([^\ ]+)\ (.*)$ ]]; then
      printf ' (c++)"%s@%s" %s\n' "$(c++filt "${BASH_REMATCH[1]}")" "${BASH_REMATCH[2]}" \
        "${BASH_REMATCH[3]}"
    else
      printf '%s\n' "$line"
    fi
  done
}

for package in $(sed -n 's/^Package: \(lib.*[0-9]\)$/\1/p' "$root/debian/control"); do
  file=$root/debian/$package.symbols
  if [ ! -d "$tree/debian/$package" ]; then
    echo "$tree/debian/$package does not exist: run tools/make-debs.sh first" >&2
    exit 1
  fi
  input=()
  [ ! -f "$file" ] || input=(-I"$file")
  dpkg-gensymbols -q -c0 -p"$package" -P"$tree/debian/$package" -v"$version" "${input[@]}" \
    -O"$work/symbols"
  demangle <"$work/symbols" >"$work/demangled"
  if [ ! -f "$file" ]; then
    # A new file: the -dev package is what a program's build needs.
    sed -i "1a * Build-Depends-Package: $dev_package" "$work/demangled"
  fi
  if [ -f "$file" ] && cmp -s "$work/demangled" "$file"; then
    echo "$package: debian/$package.symbols is up to date"
  else
    mv "$work/demangled" "$file"
    echo "$package: wrote debian/$package.symbols"
  fi
done
