#!/usr/bin/env bash
# Checks that a built module library shows the host exactly what it should: one exported symbol,
# `main`, and no imports beyond those in allowed_imports.txt (beside this script), the table that
# `modhost validate` reads too.
#
#   check_exports.sh elf <library.so>  <nm>        nm -D --defined-only lists `main` alone; the
#                                                  NEEDED libraries (objdump -p) are all allowed
#   check_exports.sh pe  <library.dll> <objdump>   the export table holds `main` alone and every
#                                                  DLL of the import table is allowed
#
# <nm> / <objdump> are those of the build's toolchain (CMAKE_NM, CMAKE_OBJDUMP); for ELF the
# objdump beside that nm is used (or the one on the PATH). se_add_plugin registers one run of this
# script per module as the ctest test <name>_exports.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 elf|pe <library> <nm-or-objdump>" >&2
  exit 2
fi
kind=$1
library=$2
tool=$3
table="$(dirname "${BASH_SOURCE[0]}")/allowed_imports.txt"

fail() {
  echo "FAIL $library: $*" >&2
  exit 1
}

[ -f "$library" ] || fail "no such file"
[ -f "$table" ] || fail "no table of allowed imports at $table"
command -v "$tool" >/dev/null || fail "tool not found: $tool"

# The table's names for one kind of library, in lower case, one a line.
allowed_names() {
  awk -v kind="$1" '{ sub(/#.*/, "") } $1 == kind && NF >= 2 { print tolower($2) }' "$table"
}

# Whether the table allows a library of kind $1 to import $2: a name equal to an entry, or
# starting with what precedes an entry's final *.
allowed() {
  local name=${2,,} entry
  while IFS= read -r entry; do
    if [[ "$entry" == *'*' ]]; then
      [[ "$name" == "${entry%\*}"* ]] && return 0
    else
      [ "$name" = "$entry" ] && return 0
    fi
  done < <(allowed_names "$1")
  return 1
}

# Fails unless every library named on standard input (one a line) is allowed for kind $1.
check_imports() {
  local name imports
  imports=$(sort -u | paste -sd' ')
  for name in $imports; do
    allowed "$1" "$name" ||
      fail "imports $name, which allowed_imports.txt does not allow (imports: $imports)"
  done
  echo "$imports"
}

case "$kind" in
  elf)
    listing=$("$tool" -D --defined-only "$library") || fail "$tool could not read it"
    # Lines are "<address> <type> <name>"; a versioned name may carry @VERSION.
    exports=$(awk '{ print $NF }' <<<"$listing" | sed 's/@.*//' | sort -u | paste -sd' ')
    [ "$exports" = "main" ] || fail "defined dynamic symbols are [$exports], expected [main]"
    type=$(awk '$NF ~ /^main(@|$)/ { print $(NF-1) }' <<<"$listing")
    [ "$type" = "T" ] || fail "main has symbol type [$type], expected a function (T)"
    objdump_tool="${tool%nm}objdump"
    [[ "$tool" == *nm && -x "$objdump_tool" ]] || objdump_tool=objdump
    command -v "$objdump_tool" >/dev/null || fail "tool not found: $objdump_tool"
    headers=$("$objdump_tool" -p "$library") || fail "$objdump_tool could not read it"
    imports=$(awk '$1 == "NEEDED" { print $2 }' <<<"$headers" | check_imports elf)
    echo "OK $library: exports main, needs $imports"
    ;;
  pe)
    listing=$("$tool" -p "$library") || fail "$tool could not read it"
    # The names follow "[Ordinal/Name Pointer] Table" up to the next blank line; the name is the
    # last field of each "[   0] main" line.
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
                   names && NF == 0 { names = 0 }
                   names { print $NF }' <<<"$listing" | sort -u | paste -sd' ')
    [ "$exports" = "main" ] || fail "exported names are [$exports], expected [main]"
    dlls=$(awk '/DLL Name:/ { print $NF }' <<<"$listing")
    [ -n "$dlls" ] || fail "no import table found"
    imports=$(check_imports pe <<<"$dlls")
    echo "OK $library: exports main, imports $imports"
    ;;
  *)
    echo "unknown library kind: $kind (elf or pe)" >&2
    exit 2
    ;;
esac
