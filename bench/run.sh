#!/usr/bin/env bash
# Builds and runs oscillator_bench, which prints the benchmark table and the performance targets.
#   bash bench/run.sh            native build (Google Benchmark)
#   bash bench/run.sh win32      32-bit Windows build, under Wine
#   bash bench/run.sh x86        i386 Linux build
# Extra arguments go to the program (e.g. --benchmark_filter=pelio/normal). Run it on a quiet
# machine: the table keeps the fastest of several repetitions, but other load still shows.
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
grep -m1 'model name' /proc/cpuinfo | sed 's/^.*: /machine: /'
echo "cores: $(nproc); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$preset" = win32 ]; then
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "build/$preset/bench/oscillator_bench.exe" "$@"
else
  "build/$preset/bench/oscillator_bench" "$@"
fi
