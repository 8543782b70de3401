#!/usr/bin/env bash
# Builds the native preset and lists the module libraries it made, with the symbols each one
# exports (exactly `main`).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh
mkdir -p build/logs
echo "== building the native preset (log: build/logs/demo-build.log)"
if ! { cmake --preset native && cmake --build --preset native; } >build/logs/demo-build.log 2>&1; then
  tail -n 80 build/logs/demo-build.log
  echo "build failed" >&2
  exit 1
fi

shopt -s nullglob
plugins=(build/native/plugins/*.so)
if [ "${#plugins[@]}" -eq 0 ]; then
  echo "No plug-ins built yet in build/native/plugins/."
  exit 0
fi
echo "== plug-ins in build/native/plugins/"
for plugin in "${plugins[@]}"; do
  exports=$(nm -D --defined-only "$plugin" | awk '{ print $NF }' | paste -sd' ')
  printf '%-40s %8d bytes  exports: %s\n' "$plugin" "$(stat -c %s "$plugin")" "$exports"
done
