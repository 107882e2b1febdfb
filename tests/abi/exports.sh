#!/usr/bin/env bash
# Checks the dynamic symbol table of the shared library against the version
# script: every listed symbol that the library's objects define is exported,
# nothing unlisted is exported, no C++ (mangled) name leaks, and the SONAME
# is the one callers link against.
set -euo pipefail
so=$1 objects=$2 map=$3
command -v nm >/dev/null || { echo "nm is missing"; exit 77; }

listed=$(sed -e 's@/\*.*\*/@@g' "$map" | sed -n '/global:/,/local:/p' | sed -e 's/global://; s/local://' |
         tr ';' '\n' | tr -d ' \t' | grep -v '^$' | sort -u)
exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort -u)
implemented=$(nm --defined-only "$objects" 2>/dev/null | awk 'NF == 3 && $2 ~ /[TDBRVW]/ {print $3}' | sort -u)

status=0
missing=$(comm -12 <(echo "$listed") <(echo "$implemented") | comm -23 - <(echo "$exported"))
if [ -n "$missing" ]; then echo "implemented but not exported:"; echo "$missing"; status=1; fi
extra=$(comm -13 <(echo "$listed") <(echo "$exported"))
if [ -n "$extra" ]; then echo "exported but not in the version script:"; echo "$extra"; status=1; fi
mangled=$(echo "$exported" | grep '^_Z' || true)
if [ -n "$mangled" ]; then echo "C++ symbols exported:"; echo "$mangled"; status=1; fi
soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != liboruDiskLib.so.1 ]; then echo "SONAME is '$soname'"; status=1; fi

count=$(comm -12 <(echo "$listed") <(echo "$exported") | wc -l)
echo "$count of $(echo "$listed" | wc -l) listed symbols exported so far"
exit $status
