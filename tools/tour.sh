#!/usr/bin/env bash
# A short tour of the library through osutil and the metadata_cache example:
# what `tools/dev.sh main` runs after building. Every step prints the command
# it runs, then its output.
#
#   tools/tour.sh [BUILD_DIR]     (default: build/)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
osutil=$build/tools/osutil
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

step() {
  echo
  echo "\$ osutil $*"
  "$osutil" "$@" || { echo "(exit status $?)"; return 1; }
}

# step_showing PATTERN ARGS...: like step, keeping only the lines that match.
step_showing() {
  local pattern=$1; shift
  echo
  echo "\$ osutil $*    # lines matching: $pattern"
  "$osutil" "$@" >"$work/out" || { echo "(exit status $?)"; return 1; }
  grep -E "$pattern" "$work/out"
}

echo "== The LRU cache: 200,000 Zipf-distributed accesses to 50,000 keys in 2 MB,"
echo "== first with the default hashes, then with the strong XXH3 pair: the same"
echo "== hits, but the default hashes crowd the keys into a few dozen buckets."
for hash in default strong; do
  step_showing 'hit ratio|operations per second|num_entries|key1_used|key1_longest' \
    cache replay --synthetic zipf:0.99 --keys 50000 --ops 200000 --budget 2000000 --hash $hash \
    || failed=1
done

echo
echo "== The same workload from 4 threads sharing the cache (twice the cores): the"
echo "== throughput of all threads together and the tail latency of an access."
step_showing 'threads|hit ratio|operations per second|latency' \
  cache replay --synthetic zipf:0.99 --keys 50000 --ops 2000000 --budget 2000000 --hash strong \
  --threads 4 || failed=1

echo
echo "== The typed cache (examples/metadata_cache): file metadata found by path or by"
echo "== GUID; a directory is renamed 7 times while 3 threads look files up and one"
echo "== creates files. The program checks every result and fails on a wrong one."
echo
echo "\$ examples/metadata_cache"
"$build/examples/metadata_cache" || { echo "(exit status $?)"; failed=1; }

echo
echo "== GUIDs, and a Base64 round trip of 100 KiB of random bytes."
step guid -n 3 || failed=1
head -c 102400 /dev/urandom >"$work/random.bin"
"$osutil" base64 "$work/random.bin" >"$work/random.b64" && "$osutil" base64 -d "$work/random.b64" >"$work/back.bin"
if cmp -s "$work/random.bin" "$work/back.bin"; then
  echo "\$ osutil base64 random.bin | osutil base64 -d   # $(wc -c <"$work/random.b64") characters, the same 102400 bytes back"
else
  echo "Base64 round trip FAILED"; failed=1
fi

echo
echo "== The volume of the current folder, and the port-mapper probe (answers no"
echo "== when rpcbind is not running: that is not an error of the tour)."
step fs df . || failed=1
step probe rpcbind || true

echo
echo "== The counters: a short timed workload and the engine's report, then the"
echo "== same counters as a node exporter's text-file collector reads them."
step perf -n 500 || failed=1
step_showing 'TYPE|"DiskCacheFstat"' perf -n 500 --format prometheus || failed=1

exit $failed
