#!/usr/bin/env bash
# Every test of the project, as CI runs it:
#   1. installs what is missing (scripts/install-deps.sh; does nothing when all is there),
#   2. checks the formatting of the project's C++ sources with clang-format (.clang-format),
#   3. for each preset native, x86 and win32: configure, build, ctest; then the same for asan
#      (the whole suite and modhost validate under AddressSanitizer, LeakSanitizer and UBSan) and
#      tsan (the two-thread test under ThreadSanitizer),
#   4. builds the libFuzzer targets (one per registered module, and modhost's input readers) and
#      runs each for SE_FUZZ_SECONDS (default 25) seconds from the kept corpus (scripts/fuzz.sh);
#      each target counts as one test.
# All three presets run even when one fails, and a build failure still runs the tests of what
# did build. Build output goes to build/logs/<preset>-*.log and is printed only on failure;
# compiler warnings are always listed. The last line counts the
# tests of all presets (plus the format check as one test): "N passed, M failed". The exit
# status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

presets=(native x86 win32 asan tsan)
# The win32 preset's cross-target test needs the native and x86 builds made before it; here they
# always are, so a missing one is a failure rather than a skip.
export SE_REQUIRE_ALL_TARGETS=1
log_dir=build/logs

passed=0
failed=0
summary=()

if ! bash scripts/install-deps.sh; then
  echo "install-deps failed; nothing was built"
  echo "0 passed, 1 failed"
  exit 1
fi
mkdir -p "$log_dir"

# ---- Formatting -------------------------------------------------------------------------------
# Every C++ source of the project, whichever folder it is in; build trees and out/ are not ours.
sources=()
mapfile -t sources < <(find . \( -path ./build -o -path ./out -o -path ./.git \) -prune -o -type f \
  \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) -print |
  sed 's|^\./||' | sort)
echo "== format: clang-format --dry-run --Werror on ${#sources[@]} files"
if [ "${#sources[@]}" -eq 0 ]; then
  summary+=("format   ok      no C++ sources yet")
elif clang-format --dry-run --Werror "${sources[@]}" >"$log_dir/format.log" 2>&1; then
  passed=$((passed + 1))
  summary+=("format   ok      ${#sources[@]} files formatted")
else
  failed=$((failed + 1))
  unformatted=$(grep -oE '^[^:]+:[0-9]+:[0-9]+: (error|warning)' "$log_dir/format.log" |
    cut -d: -f1 | sort -u)
  head -n 60 "$log_dir/format.log"
  echo "Not formatted (fix with clang-format -i <file>):"
  sed 's/^/  /' <<<"$unformatted"
  summary+=("format   FAILED  $(wc -l <<<"$unformatted") files not formatted")
fi

# ---- Presets ----------------------------------------------------------------------------------
show_log() {
  echo "---- last lines of $1 ----"
  tail -n "${2:-80}" "$1"
  echo "---- end of $1 ----"
}

warm_up_wine() {
  # The first start of Wine creates its prefix (~/.wine); doing it once here keeps that out of
  # the parallel test runs and their time limits.
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot --init \
    >"$log_dir/wineboot.log" 2>&1 || show_log "$log_dir/wineboot.log" 20
}

for preset in "${presets[@]}"; do
  echo
  echo "== $preset"
  configure_log="$log_dir/$preset-configure.log"
  build_log="$log_dir/$preset-build.log"
  test_log="$log_dir/$preset-test.log"

  if ! cmake --preset "$preset" >"$configure_log" 2>&1; then
    show_log "$configure_log" 60
    failed=$((failed + 1))
    summary+=("$(printf '%-8s FAILED  configure (%s)' "$preset" "$configure_log")")
    continue
  fi

  # -k 0: build everything that can be built, so that one broken component leaves the tests of
  # the others to run; the tests of what did not build then fail in ctest.
  build_ok=1
  if ! cmake --build --preset "$preset" -- -k 0 >"$build_log" 2>&1; then
    build_ok=0
    grep -E -A 12 '^FAILED:' "$build_log" | head -n 120
    echo "(whole log: $build_log)"
    failed=$((failed + 1))
  fi
  warnings=$(grep -E 'warning:' "$build_log" | sort -u)
  if [ -n "$warnings" ]; then
    echo "$(wc -l <<<"$warnings") compiler warnings in $preset:"
    head -n 40 <<<"$warnings"
  fi

  [ "$preset" = win32 ] && warm_up_wine
  ctest --preset "$preset" --output-on-failure 2>&1 | tee "$test_log"
  ctest_status=${PIPESTATUS[0]}
  [ "$preset" = win32 ] && timeout 60 wineserver -w 2>/dev/null

  # ctest closes with "NN% tests passed, F tests failed out of T".
  counts=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' \
    "$test_log" | tail -n 1)
  if [ -n "$counts" ]; then
    read -r preset_failed preset_total <<<"$counts"
  else
    preset_failed=0
    preset_total=0
  fi
  if [ "$ctest_status" -ne 0 ] && [ "$preset_failed" -eq 0 ]; then
    # ctest failed without counting a failed test (e.g. it could not start): count the preset.
    preset_failed=1
  fi
  passed=$((passed + preset_total - (preset_failed > preset_total ? preset_total : preset_failed)))
  failed=$((failed + preset_failed))
  if [ "$build_ok" -eq 0 ]; then
    summary+=("$(printf '%-8s FAILED  build failed (%s); %d of %d tests failed' "$preset" \
      "$build_log" "$preset_failed" "$preset_total")")
  elif [ "$preset_failed" -eq 0 ]; then
    summary+=("$(printf '%-8s ok      %d tests' "$preset" "$preset_total")")
  else
    summary+=("$(printf '%-8s FAILED  %d of %d tests' "$preset" "$preset_failed" "$preset_total")")
  fi
done

# ---- Fuzzing ----------------------------------------------------------------------------------
echo
echo "== fuzz"
fuzz_seconds=${SE_FUZZ_SECONDS:-25}
if ! cmake --preset fuzz >"$log_dir/fuzz-configure.log" 2>&1 ||
  ! cmake --build --preset fuzz >"$log_dir/fuzz-build.log" 2>&1; then
  show_log "$log_dir/fuzz-configure.log" 20
  show_log "$log_dir/fuzz-build.log" 40
  failed=$((failed + 1))
  summary+=("fuzz     FAILED  build (build/logs/fuzz-*.log)")
else
  fuzz_failed=0
  fuzz_total=0
  # Every target the fuzz preset built: one per registered module, and modhost's readers.
  mapfile -t fuzz_targets <build/fuzz/fuzz_targets.txt
  for target in "${fuzz_targets[@]}"; do
    fuzz_total=$((fuzz_total + 1))
    if bash scripts/fuzz.sh --no-build --seconds "$fuzz_seconds" "$target"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
      fuzz_failed=$((fuzz_failed + 1))
    fi
  done
  if [ "$fuzz_failed" -eq 0 ]; then
    summary+=("$(printf 'fuzz     ok      %d targets, %d s each' "$fuzz_total" "$fuzz_seconds")")
  else
    summary+=("$(printf 'fuzz     FAILED  %d of %d targets' "$fuzz_failed" "$fuzz_total")")
  fi
fi

echo
echo "== summary"
printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
