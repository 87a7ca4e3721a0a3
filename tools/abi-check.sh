#!/usr/bin/env bash
# Compares the ABI of the two shared libraries with the baselines in abi/.
#
#   tools/abi-check.sh [BUILD_DIR]            check (default build/, as tools/dev.sh makes it)
#   tools/abi-check.sh --update [BUILD_DIR]   rewrite the baselines from BUILD_DIR's libraries
#
# Both build the libraries in BUILD_DIR first (configuring it when it does not
# exist); they need their debug information (RelWithDebInfo, the default, or
# Debug). The check fails when
#   - a library lost a symbol or changed a type that callers see (abidiff
#     reports more than added symbols) while its SONAME is the baseline's;
#   - a library's SONAME is not the baseline's (the ABI version moved, and
#     the new ABI is not recorded yet).
# abi/suppressions names the types that callers only hold by pointer. The
# policy: an incompatible change raises OBJSTORE_SOVERSION (CMakeLists.txt),
# and the commit that makes it carries the baselines that --update writes.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=check
if [ "${1:-}" = "--update" ]; then
  mode=update
  shift
fi
build=${1:-$root/build}
libraries=(objstore_host objstore_utils)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash "$root/tools/install-missing.sh" abigail-tools || exit 1
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null || exit 1
fi
cmake --build "$build" --target "${libraries[@]}" >/dev/null || exit 1

# The ABI as XML, without source locations and with type ids derived from the
# types, so that a baseline changes only where the ABI does.
abi_of() {
  abidw --no-show-locs --no-corpus-path --no-comp-dir-path --type-id-style hash "$1"
}
soname_of() {
  readelf -d "$1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p'
}
baseline_soname_of() {
  sed -n "s/.*<abi-corpus [^>]*soname='\([^']*\)'.*/\1/p" "$1" | head -n 1
}
# compare BASELINE CURRENT: abidiff's report in $work/report, its status as ours.
compare() {
  abidiff --no-added-syms --suppressions "$root/abi/suppressions" "$1" "$2" >"$work/report"
}

failed=0
for library in "${libraries[@]}"; do
  binary=$(readlink -f "$build/lib$library.so")
  baseline=$root/abi/lib$library.abi
  if [ ! -f "$binary" ]; then
    echo "$library: no shared library in $build (a static build?): configure with BUILD_SHARED_LIBS=ON"
    failed=1
    continue
  fi
  if ! readelf -S "$binary" | grep '\.debug_info' >/dev/null; then
    echo "$library: $binary has no debug information: use a RelWithDebInfo or Debug tree"
    failed=1
    continue
  fi
  soname=$(soname_of "$binary")

  if [ "$mode" = update ]; then
    abi_of "$binary" >"$work/new.abi" || { failed=1; continue; }
    if [ -f "$baseline" ]; then
      compare "$baseline" "$work/new.abi"
      status=$?
      if [ $((status & 12)) -ne 0 ] && [ "$(baseline_soname_of "$baseline")" = "$soname" ]; then
        cat "$work/report"
        echo "$library: recorded the changes above with the SONAME still $soname: right only"
        echo "  if no release has shipped the old ABI; otherwise raise OBJSTORE_SOVERSION."
      fi
    fi
    mv "$work/new.abi" "$baseline"
    echo "$library: baseline abi/lib$library.abi written ($soname)"
    continue
  fi

  if [ ! -f "$baseline" ]; then
    echo "$library: no baseline abi/lib$library.abi: run tools/abi-check.sh --update"
    failed=1
    continue
  fi
  old_soname=$(baseline_soname_of "$baseline")
  compare "$baseline" "$binary"
  status=$?
  if [ $((status & 3)) -ne 0 ]; then
    cat "$work/report"
    echo "$library: abidiff failed (status $status)"
    failed=1
  elif [ "$old_soname" != "$soname" ]; then
    echo "$library: the SONAME moved from $old_soname to $soname: record the new ABI with"
    echo "  tools/abi-check.sh --update and commit abi/ with the change"
    failed=1
  elif [ $status -ne 0 ]; then
    cat "$work/report"
    echo "$library: incompatible ABI change with the SONAME still $soname. Undo it, or raise"
    echo "  OBJSTORE_SOVERSION in CMakeLists.txt and record the new ABI with tools/abi-check.sh --update"
    failed=1
  else
    echo "$library: ABI compatible with the baseline ($soname)"
  fi
done
exit $failed
