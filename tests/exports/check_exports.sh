#!/usr/bin/env bash
# Checks that a built module library shows the host exactly what it should: one exported symbol,
# `main`, and on Windows no imports beyond the two system DLLs that every Windows has.
#
#   check_exports.sh elf <library.so>  <nm>        nm -D --defined-only lists `main` alone
#   check_exports.sh pe  <library.dll> <objdump>   the export table holds `main` alone and the
#                                                  import table names only KERNEL32.dll and
#                                                  msvcrt.dll
#
# <nm> / <objdump> are those of the build's toolchain (CMAKE_NM, CMAKE_OBJDUMP); se_add_plugin
# registers one run of this script per module as the ctest test <name>_exports.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 elf|pe <library> <nm-or-objdump>" >&2
  exit 2
fi
kind=$1
library=$2
tool=$3

fail() {
  echo "FAIL $library: $*" >&2
  exit 1
}

[ -f "$library" ] || fail "no such file"
command -v "$tool" >/dev/null || fail "tool not found: $tool"

case "$kind" in
  elf)
    listing=$("$tool" -D --defined-only "$library") || fail "$tool could not read it"
    # Lines are "<address> <type> <name>"; a versioned name may carry @VERSION.
    exports=$(awk '{ print $NF }' <<<"$listing" | sed 's/@.*//' | sort -u | paste -sd' ')
    [ "$exports" = "main" ] || fail "defined dynamic symbols are [$exports], expected [main]"
    type=$(awk '$NF ~ /^main(@|$)/ { print $(NF-1) }' <<<"$listing")
    [ "$type" = "T" ] || fail "main has symbol type [$type], expected a function (T)"
    echo "OK $library: exports main"
    ;;
  pe)
    listing=$("$tool" -p "$library") || fail "$tool could not read it"
    # The names follow "[Ordinal/Name Pointer] Table" up to the next blank line; the name is the
    # last field of each "[   0] main" line.
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
                   names && NF == 0 { names = 0 }
                   names { print $NF }' <<<"$listing" | sort -u | paste -sd' ')
    [ "$exports" = "main" ] || fail "exported names are [$exports], expected [main]"
    imports=$(awk '/DLL Name:/ { print $NF }' <<<"$listing" | sort -u | paste -sd' ')
    [ -n "$imports" ] || fail "no import table found"
    for dll in $imports; do
      case "${dll,,}" in
        kernel32.dll | msvcrt.dll) ;;
        *) fail "imports $dll; only KERNEL32.dll and msvcrt.dll are allowed (imports: $imports)" ;;
      esac
    done
    echo "OK $library: exports main, imports $imports"
    ;;
  *)
    echo "unknown library kind: $kind (elf or pe)" >&2
    exit 2
    ;;
esac
