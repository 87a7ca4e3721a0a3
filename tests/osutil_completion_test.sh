#!/usr/bin/env bash
# Completes command lines with the bash completion of osutil against the real
# program and compares the offers with the expected ones.
#
#   osutil_completion_test.sh COMPLETION_SCRIPT OSUTIL
set -uo pipefail

# shellcheck source=/dev/null
source "$1"
osutil=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/trace.log"
mkdir "$work/traces"

failures=0
# expect "OFFERS" WORD...: completing the last WORD offers exactly OFFERS.
expect() {
  local want=$1
  shift
  COMP_WORDS=("$osutil" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _osutil
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [[ $got != "$want" ]]; then
    echo "FAILED: osutil $* -> '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

expect "fs"                        "f"
expect "df empty exists mkdir size" fs ""
expect "empty exists"              --log-level 2 fs e         # a global option and its value
expect "join split"                path ""
expect "--hash --help"             cache replay --h
expect "default strong"            cache replay --budget 100 --hash ""
expect "strong"                    cache replay --hash s
expect "--count"                   guid --c
expect "--decode --help --strict"  base64 --
expect "--log-file --log-level"    --log-
expect ""                          guid -n ""                 # a number: nothing to offer
expect "$work/trace.log $work/traces" base64 -d "$work/tr"    # an operand: a file
expect "$work/traces"              fs empty --yes "$work/traces"
expect "$work/trace.log $work/traces" --log-file "$work/t"

[[ $failures -eq 0 ]] && echo "osutil completion: all cases passed"
exit $((failures > 0))
