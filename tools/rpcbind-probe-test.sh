#!/usr/bin/env bash
# Runs the port-mapper probe test against a real rpcbind: installs Debian's
# rpcbind when missing, starts it in the foreground in the background, runs
# the probe test, and stops that rpcbind by its process id.
#   tools/rpcbind-probe-test.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}

if [ "$(id -u)" -ne 0 ]; then
  echo "rpcbind probe test: needs root to bind port 111; skipped"
  exit 0
fi
# netbase brings /etc/services, without which rpcbind cannot name its port.
bash "$root/tools/install-missing.sh" rpcbind netbase

port_held() { (exec 3<>/dev/tcp/127.0.0.1/111) 2>/dev/null; }

if port_held; then
  echo "rpcbind probe test: something already listens on port 111; probing it as it is"
  OBJSTORE_TEST_REAL_RPCBIND=1 ctest --test-dir "$root/$build" --output-on-failure \
    -R '^probe_test\.RealPortMapper\.'
  exit 0
fi

/usr/sbin/rpcbind -f -w &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  port_held && break
  sleep 0.1
done
port_held || { echo "rpcbind did not start listening on port 111" >&2; exit 1; }

OBJSTORE_TEST_REAL_RPCBIND=1 ctest --test-dir "$root/$build" --output-on-failure \
  -R '^probe_test\.RealPortMapper\.'
