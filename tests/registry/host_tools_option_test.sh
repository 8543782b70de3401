#!/usr/bin/env bash
# SE_BUILD_HOST_TOOLS does what it says: configured OFF, the project builds its module libraries
# and no host tool (modhost, the LV2 bridge, nor anything that needs them); ON by default, both
# are there (the bridge on x86-64 Linux, where this test runs).
#
# Usage: host_tools_option_test.sh CMAKE SOURCE_DIR GENERATOR C_COMPILER CXX_COMPILER
# (the generator must be Ninja: the test reads build.ninja)
set -uo pipefail
cmake=$1
source=$2
generator=$3
c_compiler=$4
cxx_compiler=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

configure() {  # configure FOLDER OPTION...
  local folder=$1
  shift
  "$cmake" -S "$source" -B "$folder" -G "$generator" -DCMAKE_C_COMPILER="$c_compiler" \
    -DCMAKE_CXX_COMPILER="$cxx_compiler" -DBUILD_TESTING=OFF "$@" >"$folder.log" 2>&1 ||
    { fail "configure $*: $(tail -5 "$folder.log")"; return 1; }
}

if configure "$work/off" -DSE_BUILD_HOST_TOOLS=OFF; then
  ! grep -q modhost "$work/off/build.ninja" || fail "SE_BUILD_HOST_TOOLS=OFF still builds modhost"
  ! grep -q lv2_bridge "$work/off/build.ninja" ||
    fail "SE_BUILD_HOST_TOOLS=OFF still builds the LV2 bridge"
  # Every registered module is still built.
  modules=0
  while IFS=$'\t' read -r name _ _ library _; do
    [[ "$name" == \#* ]] && continue
    modules=$((modules + 1))
    grep -qF "build ${library#"$work/off/"}:" "$work/off/build.ninja" ||
      fail "SE_BUILD_HOST_TOOLS=OFF does not build $name"
  done <"$work/off/modules.txt"
  [ "$modules" -gt 0 ] || fail "SE_BUILD_HOST_TOOLS=OFF registered no module"
fi
if configure "$work/on"; then
  grep -q 'bin/modhost' "$work/on/build.ninja" || fail "the default configuration has no modhost"
  grep -q 'bin/lv2_bridge.so' "$work/on/build.ninja" ||
    fail "the default configuration has no LV2 bridge"
fi
[ "$failures" -eq 0 ] &&
  echo "SE_BUILD_HOST_TOOLS=OFF configures the modules without modhost and the LV2 bridge"
exit $((failures > 0))
