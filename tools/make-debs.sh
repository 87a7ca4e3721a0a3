#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage and checks
# them with lintian:
#   libobjstore-host1, libobjstore-utils1, libobjstore-utils-dev, osutil
# and the source package (3.0 native), all in OUT_DIR with their .changes.
#
#   tools/make-debs.sh [OUT_DIR]     (default: build-deb/packages)
#
# The build runs in build-deb/tree, a copy of the committed tree plus the
# changes not yet committed (files never added to git stay out), so that the
# source package holds no build trees and dpkg-buildpackage's outputs, which
# go to the parent of the tree it builds, land in a folder of this project.
# build-deb/tree is kept for tools/update-symbols.sh.
# The test suite runs in the build (dh_auto_test) unless DEB_BUILD_OPTIONS
# has nocheck. Lintian fails the script on any error or warning.
#
# Needs root only when packages are missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-deb
tree=$build/tree
out=${1:-$build/packages}
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/tools/install-missing.sh" dpkg-dev lintian

echo "== source tree in $tree"
rm -rf "$tree" && mkdir -p "$tree"
# git stash create records the uncommitted changes without touching the work
# tree, and prints nothing when there are none.
snapshot=$(git -C "$root" -c user.name=make-debs -c user.email=make-debs@localhost stash create)
git -C "$root" archive "${snapshot:-HEAD}" | tar -C "$tree" -xf -

# Build dependencies from debian/control; apt-get reads them from the tree.
if ! (cd "$tree" && dpkg-checkbuilddeps 2>/dev/null); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "needs root to install the build dependencies: (cd $tree && dpkg-checkbuilddeps)" >&2
    exit 2
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq --no-install-recommends "$tree"
fi

echo "== dpkg-buildpackage${DEB_BUILD_OPTIONS:+ (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS)}"
rm -f "$build"/*.deb "$build"/*.dsc "$build"/*.tar.* "$build"/*.changes "$build"/*.buildinfo
(cd "$tree" && dpkg-buildpackage -us -uc -J"$jobs") >"$build/dpkg-buildpackage.log" 2>&1 || {
  tail -n 60 "$build/dpkg-buildpackage.log"
  echo "dpkg-buildpackage failed; the whole log: $build/dpkg-buildpackage.log"
  exit 1
}

echo "== packages in $out"
rm -rf "$out" && mkdir -p "$out"
mv "$build"/*.deb "$build"/*.dsc "$build"/*.tar.* "$build"/*.changes "$build"/*.buildinfo "$out"/
for deb in "$out"/*.deb; do
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Installed-Size) KiB installed;" \
    "Depends: $(dpkg-deb -f "$deb" Depends)"
done

echo "== lintian"
allow_root=()
[ "$(id -u)" -ne 0 ] || allow_root=(--allow-root)
lintian "${allow_root[@]}" --fail-on error,warning --tag-display-limit 0 "$out"/*.changes
echo "lintian: no errors, no warnings"
