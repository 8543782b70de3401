#!/usr/bin/env bash
# The full soak: each registered module renders a day of audio (86400 s at 44.1 kHz, simulated as fast as
# it renders; a few minutes per module) with random events, random block lengths, slowly moving
# inputs and pauses, and must stay finite, keep its level and not grow in memory
# (tests/reliability/soak_test.cpp). ctest runs the same test shortened.
#
#   bash scripts/soak.sh [seconds of audio per module]   (default 86400)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds="${1:-86400}"
bash scripts/install-deps.sh
mkdir -p build/logs
cmake --preset native >build/logs/soak-configure.log 2>&1
# The soak test builds every registered module it runs (the target `modules`).
cmake --build --preset native --target reliability_soak_test \
  >build/logs/soak-build.log 2>&1 || { tail -n 40 build/logs/soak-build.log; exit 1; }
echo "soak: $seconds s of audio per module"
SE_SOAK_SECONDS="$seconds" build/native/tests/reliability/reliability_soak_test
