#!/usr/bin/env bash
# Adding a module is its folder and one line: this checks that the test module, added that way,
# reached every consumer of the registry in a built tree.
#
# Usage: registry_test.sh BUILD_DIR MODULE PROGRAMS
#   BUILD_DIR  the build tree (it has modules.txt and fuzz_targets.txt, and ctest knows its tests)
#   MODULE     the test-only module to look for
#   PROGRAMS   test programs, comma-separated, each of which must run a test case per module
#              (gtest parameterised by the module's name)
set -uo pipefail
build=$1
module=$2
IFS=, read -r -a programs <<<"$3"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# The list the scripts read.
line=$(awk -F'\t' -v name="$module" '$1 == name' "$build/modules.txt")
if [ -z "$line" ]; then
  fail "$build/modules.txt does not list $module"
else
  IFS=$'\t' read -r _ kind _ library folder <<<"$line"
  [ "$kind" = test ] || fail "$module is listed as $kind, not as a test module"
  [ -f "$library" ] || fail "$module's library $library was not built"
  [ -d "$folder" ] || fail "$module's folder $folder does not exist"
  case "$library" in
    "$build"/plugins/*) fail "$module is built among the deliverables: $library" ;;
  esac
fi
[ -z "$(find "$build/plugins" -name "$module.*" 2>/dev/null)" ] ||
  fail "$build/plugins/ holds a build of $module"

# ctest: the export check and the replay of the fuzz corpus.
tests=$(cd "$build" && ctest -N)
for test in "${module}_exports" "${module}_fuzz_replay"; do
  grep -qE "Test +#[0-9]+: $test\$" <<<"$tests" || fail "ctest has no test $test"
done

# The fuzz targets the fuzz preset builds and scripts/fuzz.sh runs.
grep -qx "${module}_fuzz" "$build/fuzz_targets.txt" ||
  fail "$build/fuzz_targets.txt does not list ${module}_fuzz"

# modhost validate and the reliability tests, one case each per module.
for program in "${programs[@]}"; do
  [ -n "$program" ] || continue
  grep -qE "^  [A-Za-z]+/$module( |\$)" < <("$program" --gtest_list_tests) ||
    fail "$(basename "$program") has no test case for $module"
done

if [ "$failures" -eq 0 ]; then
  echo "$module reached the module list, the export checks, the fuzz targets and their replays," \
    "and ${#programs[@]} test programs"
fi
exit $((failures > 0))
