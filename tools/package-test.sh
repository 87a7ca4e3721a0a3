#!/usr/bin/env bash
# Proves that the library works for its users from each way it is shipped:
#   1. installed from BUILD_DIR into a fresh prefix: the consumer example
#      (find_package) and a one-file program (pkg-config) are built and run,
#      and the installed headers are held to their word: every name they
#      declare is used by examples/consumer/every_name.cpp
#      (tools/every-name-check.sh), which then has to link;
#   2. built static (BUILD_SHARED_LIBS=OFF) and installed: the same two;
#   3. built inside another project (examples/subproject): the parent gets the
#      library and nothing else, neither tests nor install rules;
#   4. as Debian packages (tools/make-debs.sh: dpkg-buildpackage, lintian-clean);
#   5. the packages' own tests (debian/tests: the consumer example built with
#      CMake and with pkg-config against the installed -dev package, and osutil
#      run) by autopkgtest on this machine (its null runner), which installs
#      the packages with apt and leaves them installed; then what those tests
#      do not look at (the loader's cache, osutil's man page and completion)
#      is checked, and the packages are purged.
#
#   tools/package-test.sh [BUILD_DIR]     (default: build/, made by tools/dev.sh test)
#
# Step 5 installs into the system and so needs root (or sudo); steps 4 and 5
# refuse to run when the packages are installed already rather than replace
# them. DEB_BUILD_OPTIONS reaches dpkg-buildpackage (nocheck: no test suite
# in the package build).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
packages=(osutil libobjstore-utils-dev libobjstore-utils1 libobjstore-host1)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# consumer NAME CMAKE_ARGS...: builds examples/consumer with find_package and runs it.
consumer() {
  local name=$1
  shift
  cmake -S "$root/examples/consumer" -B "$work/consumer-$name" -G Ninja "$@" >/dev/null
  cmake --build "$work/consumer-$name" >/dev/null
  local output
  output=$("$work/consumer-$name/objstore_consumer") || { echo "$output"; exit 1; }
  echo "consumer-$name: ${output##*$'\n'}"
}

# pkgconfig_program NAME [--static]: builds the consumer's source with pkg-config's flags and runs it.
pkgconfig_program() {
  local name=$1
  shift
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$work/$name" "$root/examples/consumer/main.cpp" \
    $(pkg-config "$@" --cflags --libs objstore_utils)
  "$work/$name" >/dev/null
  echo "$name: built with pkg-config${*:+ }$*, runs"
}

# install_tree BUILD PREFIX: installs BUILD into PREFIX and checks the layout;
# sets libdir to the library folder under PREFIX.
install_tree() {
  cmake --install "$1" --prefix "$2" >/dev/null
  [ -f "$2/include/objstore_utils/cache/mem_cache.h" ] && [ ! -e "$2/include/cache" ] || {
    echo "headers are not under include/objstore_utils/"; exit 1; }
  libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$1/CMakeCache.txt")
  grep -qx "prefix=$2" "$2/$libdir/pkgconfig/objstore_utils.pc" || {
    echo "the .pc file does not name the prefix $2"; exit 1; }
}

echo "== 1. shared libraries from $build, installed into a fresh prefix"
install_tree "$build" "$work/shared"
consumer shared -DCMAKE_PREFIX_PATH="$work/shared"
# pkg-config says nothing about run paths: the loader's path finds the libraries.
PKG_CONFIG_PATH="$work/shared/$libdir/pkgconfig" LD_LIBRARY_PATH="$work/shared/$libdir" \
  pkgconfig_program pc-shared
bash "$root/tools/every-name-check.sh" "$work/shared"
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Wpedantic -o "$work/every-name" "$root/examples/consumer/every_name.cpp" \
  $(PKG_CONFIG_PATH="$work/shared/$libdir/pkgconfig" pkg-config --cflags --libs objstore_utils) || {
  echo "every_name.cpp does not link: an installed header declares what the libraries do not export"
  exit 1
}
LD_LIBRARY_PATH="$work/shared/$libdir" "$work/every-name"

echo "== 2. static libraries, installed into a fresh prefix"
# The libraries alone, and compiled without optimisation or debug information
# (the build type None adds no flags): what this step proves, the static
# install with its CMake package and .pc file and a consumer that needs no
# shared libobjstore, does not depend on how the objects are compiled, and
# these compile in about three quarters of the time into a fifth of the size.
cmake -S "$root" -B "$root/build-static" -G Ninja -DCMAKE_BUILD_TYPE=None -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_TESTING=OFF -DOBJSTORE_BUILD_TOOLS=OFF -DOBJSTORE_BUILD_BENCH=OFF \
  -DOBJSTORE_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$root/build-static" -j "$jobs" >/dev/null
install_tree "$root/build-static" "$work/static"
consumer static -DCMAKE_PREFIX_PATH="$work/static"
if readelf -d "$work/consumer-static/objstore_consumer" | grep 'NEEDED.*libobjstore' >/dev/null; then
  echo "the static consumer needs a shared libobjstore"; exit 1
fi
PKG_CONFIG_PATH="$work/static/$libdir/pkgconfig" pkgconfig_program pc-static --static

echo "== 3. inside another project"
cmake -S "$root/examples/subproject" -B "$work/subproject" -G Ninja >/dev/null
cmake --build "$work/subproject" -j "$jobs" >/dev/null
tests=$(ctest --test-dir "$work/subproject" -N | sed -n 's/^Total Tests: //p')
[ "$tests" = 1 ] || { echo "the parent project has $tests tests instead of its own one"; exit 1; }
ctest --test-dir "$work/subproject" --output-on-failure >/dev/null
cmake --install "$work/subproject" --prefix "$work/subproject-prefix" >/dev/null
installed=$(cd "$work/subproject-prefix" && find . -type f | sort | xargs)
[ "$installed" = "./bin/objstore_consumer" ] || {
  echo "the parent project installed more than its own program: $installed"; exit 1; }
echo "subproject: only the parent's test and program"

echo "== 4. Debian packages"
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    echo "$p is installed on this machine; remove it first (dpkg --purge ${packages[*]})"
    exit 1
  fi
done
bash "$root/tools/make-debs.sh" "$work/debs"
runtime_depends=$(dpkg-deb -f "$work"/debs/libobjstore-utils1_*.deb Depends)
case $runtime_depends in *boost*) echo "the runtime package depends on Boost"; exit 1 ;; esac

echo "== 5. autopkgtest (debian/tests) on the packages just built"
# The packages are installed once, by autopkgtest: its tests build and run the
# consumer example (CMake and pkg-config) and osutil against them.
purge() { $sudo dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT
# purge_clean STEP: purges the packages and checks that nothing of them is left.
purge_clean() {
  purge
  if dpkg-query -W "${packages[@]}" >/dev/null 2>&1 || [ -e /usr/include/objstore_utils ]; then
    echo "$1: packages not removed cleanly"; exit 1
  fi
}
bash "$root/tools/install-missing.sh" autopkgtest
# The null runner tests on this machine itself; the packages stay installed after it.
# It shares this machine's apt with whatever else runs here, and an install
# has failed once that way between two tests (status 12, erroneous package,
# with no reason in the log; it passed when run again): such a run is tried
# once more. A failed test (status 4) is not.
run_autopkgtest() {
  rm -rf "$work/autopkgtest"
  $sudo autopkgtest --output-dir "$work/autopkgtest" "$work"/debs/*.changes -- null \
    >"$work/autopkgtest.log" 2>&1
}
status=0
run_autopkgtest || status=$?
if [ "$status" -eq 12 ]; then
  echo "autopkgtest could not install the packages (status 12); once more"
  purge
  status=0
  run_autopkgtest || status=$?
fi
if [ "$status" -ne 0 ]; then
  tail -n 40 "$work/autopkgtest.log"
  [ ! -f "$work/autopkgtest/summary" ] || cat "$work/autopkgtest/summary"
  rm -rf "$root/build-deb/autopkgtest" && mkdir -p "$root/build-deb"
  cp "$work/autopkgtest.log" "$root/build-deb/autopkgtest.log"
  [ ! -d "$work/autopkgtest" ] || cp -r "$work/autopkgtest" "$root/build-deb/autopkgtest"
  echo "autopkgtest failed; its log and outputs: $root/build-deb/autopkgtest{.log,/}"
  exit 1
fi
cat "$work/autopkgtest/summary"
# The tests needed every package, and the null runner leaves them installed.
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
    echo "$p is not installed after autopkgtest"; exit 1; }
done
ldconfig -p | grep 'libobjstore_utils.so.1 ' >/dev/null || { echo "ldconfig does not know the library"; exit 1; }
dpkg -L osutil | grep -E '/man1/osutil\.1\.gz$|/completions/osutil$'
purge_clean autopkgtest
echo "autopkgtest: every test passed; packages purged"
