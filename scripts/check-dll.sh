#!/usr/bin/env bash
# What a host gets from a Windows build, checked without running anything, so
# that it holds on a machine that cannot run the build's programs too: the
# component is a DLL of the build's width that exports exactly the four
# functions at ordinals 1 to 4 and needs no compiler runtime DLL, and the C
# host compiled against include/dorvelk.h and linked against the import
# library imports the four names from it. (Whether every target, each test
# program among them, was built is the build's own exit status.)
#
#   scripts/check-dll.sh BUILD_DIR     (build/win32, build/win64-earlier, ...)
#
# Exits non-zero when a check fails.
set -uo pipefail
export LC_ALL=C  # objdump speaks the locale's language
dir=${1:?usage: scripts/check-dll.sh BUILD_DIR}
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$dir/CMakeCache.txt" 2>/dev/null)
passed=0 failed=0

check() {
  local what=$1; shift
  local out
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what${out:+: $out}"
  fi
}

case "$objdump" in
  *i686*) format=pei-i386 ;;
  *x86_64*) format=pei-x86-64 ;;
  *) echo "FAILED: $dir is not a configured Windows build"; exit 1 ;;
esac
dll=$dir/bin/Dorvelk.dll
# Its headers, export and import tables, read once.
pe=$("$objdump" -p "$dll" 2>&1)

# Ordinal to name, from objdump's export tables: the name pointer table
# numbers its entries from 0, the ordinals start at the ordinal base.
exports() {
  awk '
    /^Ordinal Base/ { base = $3 }
    /Export Address Table -- Ordinal Base/ { eat = 1; next }
    eat && /^\t\[/ { functions++; next }
    eat && !/^\t\[/ { eat = 0 }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^\t\[/ { gsub(/[][]/, " "); print $1 + base, $2; next }
    names { names = 0 }
    END { print "functions", functions }' <<<"$pe"
}

# The names one PE file imports from one DLL, sorted.
imported_from() {
  "$objdump" -p "$1" | awk -v dll="$2" '
    /^\tDLL Name: / { inside = ($3 == dll); next }
    inside && /^\t[0-9a-f]+\t/ { print $3 }
    inside && /^$/ { inside = 0 }' | sort
}

width() { grep -q "file format $format\$" <<<"$pe" || { echo "not $format"; return 1; }; }
four_exports() {
  local got want
  got=$(exports)
  want=$(printf '1 DataImport\n2 DataExport\n3 DataTransmit\n4 IsConnected\nfunctions 4')
  [ "$(sort <<<"$got")" = "$(sort <<<"$want")" ] || { echo "$(tr '\n' ' ' <<<"$got")"; return 1; }
}
no_runtime_dll() {
  local bad
  bad=$(sed -n 's/^\tDLL Name: //p' <<<"$pe" | grep -iE '^(libgcc|libstdc\+\+|libwinpthread)')
  [ -z "$bad" ] || { echo "$(tr '\n' ' ' <<<"$bad")"; return 1; }
}
linked_host() {
  local got
  got=$(imported_from "$dir/bin/dvlinkedhost.exe" Dorvelk.dll | tr '\n' ' ')
  [ "$got" = "DataExport DataImport DataTransmit IsConnected " ] || { echo "imports [$got]"; return 1; }
}

check "Dorvelk.dll is $format" width
check "Dorvelk.dll exports exactly DataImport, DataExport, DataTransmit, IsConnected at 1 to 4" four_exports
check "Dorvelk.dll needs no compiler runtime DLL" no_runtime_dll
check "the C host linked against the import library imports the four names from Dorvelk.dll" linked_host
echo "== $dir: static checks: $passed of $((passed + failed)) passed"
[ $failed -eq 0 ]
