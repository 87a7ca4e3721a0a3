#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing, for the test
# scripts that need a daemon's binary but not its service: a policy-rc.d
# keeps the packages from starting their daemons (a policy the machine already
# has is left as it is), and the units the install enabled are disabled again
# (and stopped, should the machine's own policy have let them start).
#   tools/install-missing.sh PACKAGE...
# Exit status 0 when all are installed, 2 when some are missing and this is
# not root, otherwise apt-get's.
set -euo pipefail

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "needs root to install ${missing[*]}" >&2
  exit 2
fi

apt-get update -qq
own_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  own_policy=1
fi
status=0
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  || status=$?
[ "$own_policy" -eq 0 ] || rm -f /usr/sbin/policy-rc.d
[ "$status" -eq 0 ] || exit "$status"

# systemctl disables a unit without a running systemd as well.
for p in "${missing[@]}"; do
  if [ -d /run/systemd/system ]; then
    systemctl disable --now "$p.service" >/dev/null 2>&1 || true
  else
    systemctl disable "$p.service" >/dev/null 2>&1 || true
    [ ! -x "/etc/init.d/$p" ] || "/etc/init.d/$p" stop >/dev/null 2>&1 || true
  fi
done
