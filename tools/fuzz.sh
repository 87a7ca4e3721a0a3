#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one in turn.
#
#   tools/fuzz.sh                 every target for 30 seconds
#   tools/fuzz.sh 600             every target for 10 minutes
#   tools/fuzz.sh 120 cache_fuzz  one target (several may be named)
#
# Targets: base64_fuzz strutils_fuzz registry_fuzz cache_fuzz (sources and
# seed corpora in fuzz/). Each runs on its working corpus in
# build-fuzz/corpus/<target>/, which starts as a copy of the committed seeds
# and keeps what earlier runs found. A finding (a broken property, a
# sanitizer report, a timeout, too much memory) is saved under
# build-fuzz/artifacts/<target>/ and makes the script exit non-zero; replay it
# with build-fuzz/fuzz/<target> <artifact>.
#
# Needs root (or sudo) only when packages are missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-fuzz"
jobs=$(nproc 2>/dev/null || echo 2)
all_targets=(base64_fuzz strutils_fuzz registry_fuzz cache_fuzz)

seconds=${1:-30}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  case " ${all_targets[*]} " in
    *" $t "*) ;;
    *) echo "unknown target $t; the targets are: ${all_targets[*]}" >&2; exit 2 ;;
  esac
done

packages=(cmake ninja-build clang-14 libclang-rt-14-dev libboost-dev libxxhash-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== building ${targets[*]} in $build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBJSTORE_BUILD_FUZZ=ON -DOBJSTORE_BUILD_TESTS=OFF \
  -DOBJSTORE_BUILD_BENCH=OFF -DOBJSTORE_BUILD_EXAMPLES=OFF -DOBJSTORE_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

# Longest input per target: a registry value fills at most one line of 32
# bytes, a string case a few short strings; the codec and the cache profit
# from long inputs (long runs of text, long sequences of operations).
max_len_of() {
  case "$1" in
    registry_fuzz) echo 128 ;;
    strutils_fuzz) echo 512 ;;
    *) echo 4096 ;;
  esac
}

failed=()
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  log="$build/logs/$t.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  cp -f "$root/fuzz/corpus/$t"/* "$corpus"/
  echo "== $t: $seconds s on $corpus"
  started=$(date +%s)
  status=0
  # halt_on_error and abort_on_error turn every sanitizer report into a crash
  # that libFuzzer saves; leaks count as findings too.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$t" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -max_len="$(max_len_of "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
      >"$log" 2>&1 || status=$?
  elapsed=$(( $(date +%s) - started ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ $status -ne 0 ]; then
    failed+=("$t")
    summary+=("$t: FINDING after ${elapsed} s (exit $status); see $log and $artifacts/")
    echo "-- $t: finding (exit $status), from $log:"
    grep -m 8 -E "property broken|ERROR: |runtime error: |SUMMARY: |Test unit written" "$log" ||
      tail -n 40 "$log"
  else
    summary+=("$t: ${elapsed} s, ${runs:-?} executions, no finding")
  fi
done

echo "== summary"
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ] || { echo "findings in: ${failed[*]}" >&2; exit 1; }
