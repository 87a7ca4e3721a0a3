#!/usr/bin/env bash
# Set-up, build and run for developers and CI.
#
#   tools/dev.sh main        install what is missing, build, run a tour of osutil
#   tools/dev.sh test        install what is missing, build, run the test suite
#   tools/dev.sh test-asan   the suite built with AddressSanitizer + UBSan
#   tools/dev.sh test-tsan   the concurrency tests built with ThreadSanitizer
#   tools/dev.sh bench       build in Release, run every benchmark, write BENCHMARKS.md
#   tools/dev.sh bench ARGS  a partial run: ARGS (e.g. --benchmark_filter=cache) go to the
#                            benchmark binary, which prints its table and writes nothing
#
# Needs root (or sudo) only when packages are missing. Build trees live in
# build/, build-asan/, build-tsan/, build-release/ beside this folder's parent.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(cmake g++ ninja-build pkg-config libboost-dev libgtest-dev libgmock-dev
          libbenchmark-dev libxxhash-dev nlohmann-json3-dev help2man)
# Only the benchmarks use these: the lock comparison's library candidates.
bench_packages=(libabsl-dev libtbb-dev)

# install_missing [extra packages...]
install_missing() {
  local missing=()
  for p in "${packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_and_build DIR [cmake args...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs"
}

run_ctest() {
  local dir=$1; shift
  ctest --test-dir "$root/$dir" --output-on-failure -j "$jobs" "$@"
}

cmd=${1:-test}
if [ "$cmd" = bench ]; then install_missing "${bench_packages[@]}"; else install_missing; fi
case "$cmd" in
  main)
    configure_and_build build
    bash "$root/tools/tour.sh" "$root/build"
    ;;
  test)
    configure_and_build build
    run_ctest build
    ;;
  test-asan)
    configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DOBJSTORE_SANITIZE=address,undefined \
      -DOBJSTORE_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan
    ;;
  test-tsan)
    # Only the programs that the run below uses.
    cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DOBJSTORE_SANITIZE=thread -DOBJSTORE_BUILD_BENCH=OFF -DOBJSTORE_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$root/build-tsan" -j "$jobs" --target objstore_concurrency_tests
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L concurrency
    ;;
  bench)
    configure_and_build build-release -DCMAKE_BUILD_TYPE=Release -DOBJSTORE_BUILD_TESTS=OFF
    if [ $# -gt 1 ]; then
      # A partial run (a filter, other flags) prints its table only.
      "$root/build-release/bench/objstore_bench" "${@:2}"
    else
      # The full run rewrites BENCHMARKS.md and bench/results/ in the tree.
      cd "$root" && "$root/build-release/bench/objstore_bench" --report-dir=.
    fi
    ;;
  *)
    echo "usage: tools/dev.sh main|test|test-asan|test-tsan|bench" >&2
    exit 2
    ;;
esac
