#!/usr/bin/env bash
# One module, three builds, one result: the native modhost renders the x86-64, i386 and 32-bit
# Windows builds of every shipped module (the last two in their own builds' modhost as child
# hosts, the Windows one under Wine), and the i386 and Windows builds of modhost render their own
# libraries; every file must be byte-identical to the native render. Each module is rendered with
# the first line of its examples.txt, in blocks of random length. The modules are those each
# build registered (<build>/modules.txt). The Windows modhost's analyze must print what the
# native one prints, modhost diff must call the renders identical and name a sample changed by
# one float step, and Unicode names must pass through Wine.
#
# Usage: cross_target_test.sh BUILD_ROOT (the folder holding native/, x86/ and win32/). Needs all
# three builds; when one is missing the test is skipped (status 77), unless
# SE_REQUIRE_ALL_TARGETS=1 (as scripts/test.sh sets it), which makes that a failure.
set -uo pipefail
root=$1
native="$root/native/bin/modhost"
x86="$root/x86/bin/modhost"
win32="$root/win32/bin/modhost.exe"
export WINEDEBUG=-all

# The library of shipped module $2 in build $1, from that build's list, or nothing.
library_of() {
  [ -f "$root/$1/modules.txt" ] &&
    awk -F'\t' -v name="$2" '$1 == name && $2 == "shipped" { print $4 }' "$root/$1/modules.txt"
}

missing=()
for file in native/bin/modhost x86/bin/modhost win32/bin/modhost.exe native/modules.txt; do
  [ -e "$root/$file" ] || missing+=("$file")
done
modules=()
[ -f "$root/native/modules.txt" ] &&
  mapfile -t modules < <(awk -F'\t' '$2 == "shipped" { print $1 }' "$root/native/modules.txt")
for module in "${modules[@]}"; do
  for build in native x86 win32; do
    library=$(library_of "$build" "$module")
    [ -n "$library" ] && [ -e "$library" ] || missing+=("the $build build of $module")
  done
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "${SE_REQUIRE_ALL_TARGETS:-0}" = 1 ]; then
    echo "FAILED: missing ${missing[*]}"
    exit 1
  fi
  echo "skipped: build the native, x86 and win32 presets first (missing ${missing[*]})"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
same() {  # same REFERENCE FILE WHAT
  cmp -s "$1" "$2" || fail "$3 differs from the native render"
}

for module in "${modules[@]}"; do
  # The first example of the module, from the folder the native build lists for it.
  folder=$(awk -F'\t' -v name="$module" '$1 == name { print $5 }' "$root/native/modules.txt")
  example=""
  [ -f "$folder/examples.txt" ] &&
    example=$(grep -v -e '^#' -e '^[[:space:]]*$' "$folder/examples.txt" | head -n 1)
  eval "options=(${example##*|} --block random)"
  run() {  # run NAME PROGRAM... : renders into NAME.wav
    local name=$1
    shift
    "$@" render "${module_library}" -o "$module-$name.wav" "${options[@]}" >/dev/null 2>"$name.err" ||
      fail "$module: $name: $(cat "$name.err")"
  }
  module_library=$(library_of native "$module")
  run native "$native"
  module_library=$(library_of x86 "$module")
  run native-hosting-x86 "$native"
  run x86 "$x86"
  module_library=$(library_of win32 "$module")
  run native-hosting-win32 "$native"
  run win32 wine "$win32"
  for name in native-hosting-x86 x86 native-hosting-win32 win32; do
    same "$module-native.wav" "$module-$name.wav" "$module: $name"
  done
  "$native" diff "$module-native.wav" "$module-win32.wav" >diff.txt ||
    fail "$module: modhost diff finds the Windows render different: $(cat diff.txt)"
  wine "$win32" diff "$module-native.wav" "$module-x86.wav" >diff.txt ||
    fail "$module: modhost.exe diff finds the i386 render different: $(cat diff.txt)"
  # One sample one float step away: diff names it, under Wine too.
  python3 - "$module-native.wav" ulp.wav <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.index(b"data") + 8 + 4 * 1000
struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] + 1)
open(sys.argv[2], "wb").write(data)
PY
  for host in "$native" "wine $win32"; do
    $host diff "$module-native.wav" ulp.wav >ulp.txt
    status=$?
    { [ "$status" = 1 ] && grep -q "differ: 1 of " ulp.txt &&
      grep -q "first difference    frame 1000 " ulp.txt &&
      grep -q "largest in steps    1 ULP of 32-bit float" ulp.txt; } ||
      fail "$module: $host diff of a one-step change gave status $status: $(cat ulp.txt)"
  done
  "$native" analyze "$module-native.wav" >native.txt
  wine "$win32" analyze "$module-native.wav" >win32.txt
  cmp -s native.txt win32.txt || fail "$module: modhost.exe analyze prints otherwise: $(diff native.txt win32.txt | head -5)"
  echo "$module: native, i386 and Windows builds render the same $(stat -c %s "$module-native.wav") bytes"
done

# Unicode through Wine: a folder named 音 holding tessà.dll.
mkdir -p 音
cp "$root/win32/plugins/tessavine.dll" 音/tessà.dll
wine "$win32" info 音/tessà.dll >info.txt 2>&1 || fail "modhost.exe info 音/tessà.dll: $(cat info.txt)"
wine "$win32" validate 音/tessà.dll --include '^load$' >validate.txt 2>&1 ||
  fail "modhost.exe validate 音/tessà.dll: $(tail -3 validate.txt)"
"$native" render 音/tessà.dll -o tessa.wav --samples 1000 >/dev/null 2>render.err ||
  fail "modhost render 音/tessà.dll: $(cat render.err)"
"$native" render "$root/native/plugins/tessavine.so" -o tessa-native.wav --samples 1000 >/dev/null
same tessa-native.wav tessa.wav "the render of 音/tessà.dll"

# A Windows module that crashes, hosted from Linux: one line, status 7.
crashing="$root/win32/tests/plugins/broken_module_crashes.dll"
if [ -e "$crashing" ]; then
  "$native" render "$crashing" -o crash.wav >/dev/null 2>crash.err
  status=$?
  [ "$status" = 7 ] || fail "the crashing DLL gave status $status"
  grep -qx "modhost render: the module crashed in process of samples 0 to 255: access violation (0xC0000005)" crash.err ||
    fail "the crashing DLL said: $(cat crash.err)"
  [ ! -e crash.wav ] || fail "the crashing DLL left crash.wav"
fi

# modhost.exe's output: a device is streamed into, a folder refused, standard output the same bytes.
dll="$root/win32/plugins/tessavine.dll"
wine "$win32" render "$dll" -o NUL --samples 1000 >/dev/null 2>nul.err || fail "-o NUL: $(cat nul.err)"
mkdir -p folder
wine "$win32" render "$dll" -o folder --samples 1000 >/dev/null 2>folder.err
[ $? = 6 ] && grep -qx "modhost render: cannot write 'folder': it is a folder" folder.err ||
  fail "-o folder: $(cat folder.err)"
wine "$win32" render "$dll" -o - --samples 1000 >stdout.wav 2>/dev/null
same tessa-native.wav stdout.wav "modhost.exe render -o -"
wine "$win32" info "$root/native/plugins/tessavine.so" >/dev/null 2>elf.err
[ $? = 3 ] && grep -q "it is a 64-bit x86-64 ELF shared library; modhost.exe runs 32-bit i386 PE libraries only" elf.err ||
  fail "modhost.exe info on an ELF library: $(cat elf.err)"

# A damaged DLL (bytes of its code flipped) ends, under Wine too, in one line and a status.
python3 - "$root/win32/plugins/pelio.dll" damaged.dll <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
for at in range(0x1000, 0x6000, 13):
    data[at] ^= 0xFF
open(sys.argv[2], "wb").write(data)
PY
for host in "$native" "wine $win32"; do
  timeout 120 $host info damaged.dll --timeout 10 >/dev/null 2>damaged.err
  status=$?
  { [ "$status" -le 7 ] && [ "$(wc -l <damaged.err)" -le 1 ]; } ||
    fail "$host info damaged.dll: status $status: $(head -3 damaged.err)"
done

[ "$failures" = 0 ] && echo "every build of every module renders the same bytes"
exit $((failures > 0))
