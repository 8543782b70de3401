#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, AddressSanitizer, UBSan) and runs each
# for a bounded time, starting from the corpus kept in fuzz/corpus/<target>/.
#
#   bash scripts/fuzz.sh [--seconds N] [--merge] [--no-build] [target...]
#
#   --seconds N  how long each target runs (default 60)
#   --merge      afterwards, merge what the run found into fuzz/corpus/<target>/ (minimised:
#                only inputs that add coverage); commit those files
#   --no-build   run the targets as they are built
#   target       <module>_fuzz for every registered module, modhost_input_fuzz (default: every
#                one that build/fuzz/fuzz_targets.txt lists)
#
# One worker per target, so that the machine keeps a core for others. New inputs go to
# build/fuzz/work/<target>/ and findings to build/fuzz/findings/<target>/; a finding ends that
# target's run and is printed with the command that replays it. Each target prints one line
# "fuzz <target>: ok ..." or "fuzz <target>: FAILED ..."; the exit status is non-zero when any
# target failed. A crash input becomes a regression test by being copied into the corpus
# folder, which every Linux test build replays (ctest <target>_replay).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=60
merge=0
build=1
targets=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done

build_dir=build/fuzz
mkdir -p build/logs
if [ "$build" -eq 1 ]; then
  if ! cmake --preset fuzz >build/logs/fuzz-configure.log 2>&1 ||
     ! cmake --build --preset fuzz >build/logs/fuzz-build.log 2>&1; then
    tail -n 40 build/logs/fuzz-configure.log build/logs/fuzz-build.log
    echo "fuzz build: FAILED (build/logs/fuzz-*.log)"
    exit 1
  fi
fi
if [ "${#targets[@]}" -eq 0 ]; then
  # Written by fuzz/CMakeLists.txt from the module registry.
  if [ ! -f "$build_dir/fuzz_targets.txt" ]; then
    echo "fuzz: $build_dir/fuzz_targets.txt is missing; build the fuzz preset first"
    exit 1
  fi
  mapfile -t targets <"$build_dir/fuzz_targets.txt"
fi

status=0
for target in "${targets[@]}"; do
  binary="$build_dir/fuzz/$target"
  corpus="fuzz/corpus/${target%_fuzz}"
  work="$build_dir/work/${target%_fuzz}"
  findings="$build_dir/findings/${target%_fuzz}"
  log="build/logs/fuzz-$target.log"
  mkdir -p "$work" "$findings"
  # A target without a kept corpus yet (a new module's) starts from nothing.
  corpora=("$work")
  [ -d "$corpus" ] && corpora+=("$corpus")
  if [ ! -x "$binary" ]; then
    echo "fuzz $target: FAILED (not built)"
    status=1
    continue
  fi
  # libFuzzer writes new inputs into the first folder only; the kept corpus is only read.
  ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" UBSAN_OPTIONS="print_stacktrace=1" \
    "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${corpora[@]}" >"$log" 2>&1
  result=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -n 1)
  if [ "$result" -eq 0 ]; then
    echo "fuzz $target: ok, ${runs:-?} runs in ${seconds} s"
  else
    status=1
    grep -E 'ERROR|SUMMARY|broken guarantee|runtime error' "$log" | head -n 10
    artifact=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$log" | tail -n 1)
    echo "fuzz $target: FAILED (log $log)"
    [ -n "$artifact" ] && echo "  replay: $binary $artifact"
  fi
  if [ "$merge" -eq 1 ]; then
    mkdir -p "$corpus"
    "$binary" -merge=1 "$corpus" "$work" >>"$log" 2>&1 &&
      echo "  merged into $corpus: $(ls "$corpus" | wc -l) inputs"
  fi
done
exit "$status"
