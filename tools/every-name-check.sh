#!/usr/bin/env bash
# Holds the headers installed under PREFIX to their word:
#   1. examples/consumer/every_name.cpp includes every installed header;
#   2. it uses every name they declare for callers: functions (inline ones and
#      templates too), variables, static members, and the classes that have
#      constructors. Each use is a reference that the program's link must
#      resolve, so building it against PREFIX (tools/package-test.sh does)
#      proves that every declared name links;
#   3. the installed shared libraries export every function and variable that
#      the headers declare out of line, each overload counted, whether or not
#      the program uses it.
#
#   tools/every-name-check.sh PREFIX
#
# The declarations come from universal-ctags. Left out, as no caller can name
# them: private and protected members, deleted functions, operators, pure
# virtual functions, names in a *detail namespace (a template's own
# machinery, reached through the template) and the members of private nested
# types. Destructors are left out of 2 (a program names them by using the
# class) but not of 3.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=${1:?usage: tools/every-name-check.sh PREFIX}
include=$prefix/include/objstore_utils
program=$root/examples/consumer/every_name.cpp
bash "$root/tools/install-missing.sh" universal-ctags

headers=$(cd "$include" && find . -name '*.h' | sed 's|^\./||' | sort)
[ -n "$headers" ] || { echo "no headers under $include"; exit 1; }
# The program's code without its comments, which name things without using them.
code=$(sed 's://.*$::' "$program")
failed=0

for header in $headers; do
  grep -qF "#include \"$header\"" <<<"$code" || {
    echo "$header: installed, not included by examples/consumer/every_name.cpp"
    failed=1
  }
done

# kind|scope|name|access|properties|file|line, one line per declaration (ctags
# sorts and drops repeated lines unless told not to: overloads would merge).
# shellcheck disable=SC2086
declarations=$(cd "$include" && ctags-universal -x --sort=no --language-force=C++ \
  --kinds-C++=pxfmsc --_xformat='%{kind}|%{scope}|%{name}|%{access}|%{C++.properties}|%{input}|%{line}' \
  -o - $headers |
  awk -F'|' '
    $1 == "struct" || $1 == "class" {
      if ($4 == "private" || $4 == "protected") hidden[($2 == "" ? "" : $2 "::") $3] = 1
      next
    }
    { lines[NR] = $0 }
    END {
      for (i in lines) {
        split(lines[i], f, "|")
        if (f[4] == "private" || f[4] == "protected") continue
        if (f[5] ~ /(^|,)(delete|pure)(,|$)/ || f[3] ~ /^operator/) continue
        if (f[2] ~ /(^|::)[A-Za-z_]*detail(::|$)/) continue
        if (f[1] == "member" && f[5] !~ /(^|,)static(,|$)/) continue
        skip = 0
        for (h in hidden) if (f[2] == h || index(f[2], h "::") == 1) skip = 1
        if (!skip) print lines[i]
      }
    }' | sort)

while IFS='|' read -r _ scope name _ _ file line; do
  [[ $name == "~"* ]] && continue
  grep -qw -- "$name" <<<"$code" || {
    echo "$file:$line: ${scope:+$scope::}$name is declared, not used by examples/consumer/every_name.cpp"
    failed=1
  }
done <<<"$declarations"

# Every library's exported names, demangled, once each (nm lists a
# constructor's complete and base-object symbols under one name).
libraries=$(find "$prefix" -name 'libobjstore_*.so' | sort)
[ -n "$libraries" ] || { echo "no shared libraries under $prefix"; exit 1; }
# shellcheck disable=SC2086
exported=$(nm -DC --defined-only $libraries | sed 's/^[0-9a-f]* [A-Za-z] //' | sort -u)
while read -r count qualified; do
  # A function's demangled name goes on with "(" or an ABI tag, a variable's ends.
  found=$(awk -v q="$qualified" 'index($0, q "(") == 1 || index($0, q "[abi:") == 1 || $0 == q' \
    <<<"$exported" | wc -l)
  if [ "$found" -lt "$count" ]; then
    echo "$qualified: declared $count time(s) in the installed headers, exported $found time(s)"
    failed=1
  fi
done < <(awk -F'|' '$1 == "prototype" || $1 == "externvar" { print ($2 == "" ? "" : $2 "::") $3 }' \
  <<<"$declarations" | sort | uniq -c)

if [ "$failed" -ne 0 ]; then
  echo "every-name check: the installed headers promise names that callers cannot use or link"
  exit 1
fi
echo "every-name check: $(wc -l <<<"$headers") headers, $(wc -l <<<"$declarations")" \
  "declarations, all used by every_name.cpp; the out-of-line ones exported"
