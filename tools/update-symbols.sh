#!/usr/bin/env bash
# Rewrites debian/<package>.symbols of every library package from the
# libraries that tools/make-debs.sh built last (build-deb/tree/debian/<package>/),
# for a release that adds symbols (the build fails until the file lists them):
#   - a symbol the file lists keeps its line, with the version that brought it;
#   - a new symbol gets the version of debian/changelog's latest entry, with
#     a '~' (0.2.0~): dpkg-gensymbols counts a symbol as lost only once the
#     package's version is past the symbol's, and 0.2.0 is past 0.2.0~, so
#     that removing it fails the build from the day it is added;
#   - new symbols are written demangled with the (c++) tag, like the rest.
# A symbol that is gone stops the script: removing one is an incompatible
# change, which takes a new ABI version (docs/packaging.md, ABI policy), so a new
# package name and a new symbols file.
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

# mark_new: the lines of the symbols that the file did not list, which
# dpkg-gensymbols writes at the bare version and, for C++ ones, mangled, get
# the '~' and the (c++) form that the rest of the file has.
mark_new() {
  local line
  while IFS= read -r line; do
    if [[ $line == *" $version" ]]; then
      line+="~"
      if [[ $line =~ ^\ (_Z[^@\ ]+)@([^\ ]+)\ (.*)$ ]]; then
        line=$(printf ' (c++)"%s@%s" %s' "$(c++filt "${BASH_REMATCH[1]}")" "${BASH_REMATCH[2]}" \
          "${BASH_REMATCH[3]}")
      fi
    fi
    printf '%s\n' "$line"
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
  if ! dpkg-gensymbols -t -c1 -p"$package" -P"$tree/debian/$package" -v"$version" "${input[@]}" \
    -O"$work/symbols" >"$work/diff" 2>&1; then
    cat "$work/diff"
    echo "$package: symbols are gone from the library (above); that needs a new ABI version" >&2
    exit 1
  fi
  mark_new <"$work/symbols" >"$work/marked"
  if [ ! -f "$file" ]; then
    # A new file: the -dev package is what a program's build needs.
    sed -i "1a * Build-Depends-Package: $dev_package" "$work/marked"
  fi
  # Once more through dpkg-gensymbols, which puts the new lines in its own
  # order and merges the constructors' and destructors' twin symbols, which
  # demangle alike: the file is what the next run would write.
  dpkg-gensymbols -q -t -c0 -p"$package" -P"$tree/debian/$package" -v"$version" \
    -I"$work/marked" -O"$work/demangled"
  if [ -f "$file" ] && cmp -s "$work/demangled" "$file"; then
    echo "$package: debian/$package.symbols is up to date"
  else
    mv "$work/demangled" "$file"
    echo "$package: wrote debian/$package.symbols"
  fi
done
