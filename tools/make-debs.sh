#!/usr/bin/env bash
# Builds the Debian packages and checks them with lintian:
#   libobjstore-host1, libobjstore-utils1, libobjstore-utils-dev, osutil
# in a tree of their own (build-deb/) configured for /usr, with Debian's build
# flags (dpkg-buildflags, all hardening on); any lintian error fails.
#
#   tools/make-debs.sh [OUT_DIR]     (default: build-deb/packages)
#
# Needs root only when packages are missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-deb
out=${1:-$build/packages}
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/tools/install-missing.sh" cmake g++ ninja-build libboost-dev libxxhash-dev \
  nlohmann-json3-dev help2man dpkg-dev file binutils lintian

# Debian's flags; CMake reads no CPPFLAGS, so they join the compiler's.
cd "$root"
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Time stamps in the packages and the man page: the last commit's.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

echo "== building the packaged parts in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DBUILD_TESTING=OFF -DOBJSTORE_BUILD_BENCH=OFF -DOBJSTORE_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$jobs"

echo "== packages in $out"
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
for deb in "$out"/*.deb; do
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Installed-Size) KiB installed;" \
    "Depends: $(dpkg-deb -f "$deb" Depends)"
done

echo "== lintian"
allow_root=()
[ "$(id -u)" -ne 0 ] || allow_root=(--allow-root)
lintian "${allow_root[@]}" --fail-on error --tag-display-limit 0 "$out"/*.deb
echo "lintian: no errors"
