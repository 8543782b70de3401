#!/usr/bin/env bash
# Builds and runs oscillator_bench, which prints the benchmark table, the performance targets and
# what an event costs. The library rows time the built plug-ins of the same preset.
#   bash bench/run.sh            native build (Google Benchmark)
#   bash bench/run.sh win32      32-bit Windows build, under Wine
#   bash bench/run.sh x86        i386 Linux build
# Extra arguments go to the program, e.g. --benchmark_filter='library/|baseline/' (a regular
# expression natively, substrings separated by '|' on the 32-bit builds), --benchmark_repetitions=N,
# or --compare-plugins=DIR to time another build's plug-ins (of an older commit, say) in the same
# run. First it prints the machine: the processor, its cores and the load average; the program
# then names the Pelio renderer that the processor gets. Run it on a quiet machine: the table
# keeps the fastest of several repetitions and shows their spread, but other load still shows.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

preset=native
if [ $# -gt 0 ] && [[ "$1" =~ ^(native|x86|win32)$ ]]; then
  preset=$1
  shift
fi

bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target oscillator_bench >/dev/null

source bench/machine.sh
print_machine
echo "preset: $preset"
if [ "$preset" = win32 ]; then
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "build/$preset/bench/oscillator_bench.exe" "$@"
else
  "build/$preset/bench/oscillator_bench" "$@"
fi
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M UTC')"
