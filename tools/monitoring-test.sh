#!/usr/bin/env bash
# Checks the counters' expositions with the monitoring tools that read them:
# installs Debian's prometheus (for promtool) and prometheus-node-exporter
# when missing, has `promtool check metrics` check what `osutil perf` prints,
# then starts a node exporter of its own on a loopback port with the text-file
# collector pointed at a temporary folder, writes the file through
# `osutil perf --textfile`, scrapes /metrics and finds the values there. The
# exporter is stopped by its process id and the folder removed, whatever
# happens.
#   tools/monitoring-test.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
osutil="$root/$build/tools/osutil"
[ -x "$osutil" ] || { echo "monitoring test: $osutil not built" >&2; exit 1; }

status=0
bash "$root/tools/install-missing.sh" prometheus prometheus-node-exporter || status=$?
if [ "$status" -eq 2 ]; then
  echo "monitoring test: skipped"
  exit 0
fi
[ "$status" -eq 0 ] || exit "$status"

work=$(mktemp -d)
exporter_pid=""
cleanup() {
  if [ -n "$exporter_pid" ]; then
    kill "$exporter_pid" 2>/dev/null || true
    wait "$exporter_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private configuration store: the counters are on whatever the machine's says.
export OBJSTORE_REGISTRY_DIR="$work/registry"
mkdir -p "$OBJSTORE_REGISTRY_DIR" "$work/textfile"

echo "== promtool check metrics"
for format in prometheus openmetrics; do
  "$osutil" perf -n 20 --format "$format" > "$work/$format.txt"
  promtool check metrics < "$work/$format.txt"
  echo "$format: accepted ($(grep -c '^objstore_' "$work/$format.txt") samples)"
done

echo "== node exporter's text-file collector"
iterations=37
prom="$work/textfile/objstore.prom"
"$osutil" perf -n "$iterations" --format prometheus --textfile "$prom" > /dev/null
[ "$(stat -c %a "$prom")" = 644 ] || { echo "$prom is not mode 0644" >&2; exit 1; }
[ "$(ls -A "$work/textfile")" = objstore.prom ] || { echo "temporary files left" >&2; exit 1; }

# GET /metrics with curl, or with bash's /dev/tcp where curl is missing.
scrape() {
  if command -v curl >/dev/null; then
    curl -fsS --max-time 5 "http://127.0.0.1:$1/metrics"
  else
    (
      exec 3<>"/dev/tcp/127.0.0.1/$1"
      printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
      # The status line must say 200; the headers end at the first empty line.
      IFS= read -r status <&3
      case "$status" in *" 200 "*) ;; *) exit 1 ;; esac
      sed '1,/^\r\{0,1\}$/d' <&3
    )
  fi
}

# A random unused port; another program may take it first, so a start that
# does not come up is tried again on another.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 30000))
  port_free "$port" || continue
  # Only the text-file collector: a fast start and a short, quiet scrape.
  prometheus-node-exporter --web.listen-address="127.0.0.1:$port" \
    --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile" --log.level=warn \
    2> "$work/exporter.log" &
  exporter_pid=$!
  for _ in $(seq 1 50); do
    scrape "$port" > "$work/scrape.txt" 2>/dev/null && break
    kill -0 "$exporter_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/scrape.txt" ] && break
  kill "$exporter_pid" 2>/dev/null || true
  wait "$exporter_pid" 2>/dev/null || true
  exporter_pid=""
done
if [ -z "$exporter_pid" ]; then
  echo "the node exporter did not come up:" >&2
  cat "$work/exporter.log" >&2
  exit 1
fi

expect() {
  grep -qxF "$1" "$work/scrape.txt" || {
    echo "not in the scrape: $1" >&2
    grep -E '^(objstore_|node_textfile)' "$work/scrape.txt" | head -20 >&2
    exit 1
  }
}
expect "node_textfile_scrape_error 0"
expect "objstore_perf_counters_enabled 1"
# The workload's five counters, each fed once per iteration.
for counter in 'backupitem",id="2' 'custom1",id="37' 'custom2",id="38' 'custom3",id="39' \
               'DiskCacheFstat",id="41'; do
  expect "objstore_perf_operation_duration_seconds_count{counter=\"$counter\"} $iterations"
done
written=$(grep -c '^objstore_' "$prom")
scraped=$(grep -c '^objstore_' "$work/scrape.txt")
[ "$written" = "$scraped" ] || { echo "wrote $written samples, scraped $scraped" >&2; exit 1; }
echo "scraped $scraped objstore samples from the node exporter on 127.0.0.1:$port"
