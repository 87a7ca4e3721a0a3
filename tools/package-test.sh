#!/usr/bin/env bash
# Installs the build in build/ into a fresh prefix and proves that the package
# works from there alone: the consumer example is configured with
# find_package(objstore_utils), built and run; a one-file program is built
# with pkg-config flags and run; CPack makes the Debian package and its
# contents are listed.
#
#   tools/package-test.sh [BUILD_DIR]     (default: build/, made by tools/dev.sh test)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "== install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== consumer example against the installed package"
cmake -S "$root/examples/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/objstore_consumer"

echo "== a program built with pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/pkgconfig_probe" "$root/examples/consumer/main.cpp" \
  $(pkg-config --cflags --libs objstore_utils) -Wl,-rpath,"$prefix/lib"
"$work/pkgconfig_probe" >/dev/null
echo "pkg-config build: ok"

echo "== Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/\1:/p'
dpkg-deb --contents "$deb" | awk '{print $6}' | grep -E 'lib/|bin/|include/cache' | sort
