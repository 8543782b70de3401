#!/usr/bin/env bash
# Times every shipped module of the native build as an LV2 plug-in with lilv's lv2bench, beside
# Debian's blop-lv2 sawtooth (a band-limited oscillator a user might pick instead), all in one run.
#   bash bench/lv2bench.sh [SECONDS]     default 60 s of audio per plug-in and repetition
# Each plug-in plays SECONDS at lv2bench's 48 kHz in blocks of 256, three times, interleaved; the
# table keeps the fastest. lv2bench leaves every control port at its default and fills CV inputs
# with 0 (0 V: the pitch law's lowest note, every amplitude off), so the modules run their
# defaults; the sawtooth plays its default 440 Hz. First the machine (bench/machine.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${1:-60}
frames=$((seconds * 48000))

bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

source bench/machine.sh
print_machine

bundles=$(mktemp -d)
trap 'rm -rf "$bundles"' EXIT
uris=()
# The shipped modules, as the build registered them (se_add_module).
while IFS=$'\t' read -r name kind _ library _; do
  [[ "$name" == \#* || "$kind" != shipped ]] && continue
  build/native/bin/modhost lv2 "$library" -o "$bundles/$name.lv2" >/dev/null
  uris+=("$(sed -n 's/^uri //p' "$bundles/$name.lv2/bridge.conf")")
done <build/native/modules.txt
ln -s /usr/lib/lv2/blop.lv2 "$bundles/blop.lv2"
uris+=("http://drobilla.net/plugins/blop/sawtooth")

declare -A best
for repetition in 1 2 3; do
  for uri in "${uris[@]}"; do
    time=$(LV2_PATH="$bundles" lv2bench -b 256 -n "$frames" "$uri" 2>/dev/null | awk '{print $1}')
    if [ -z "${best[$uri]:-}" ] || awk "BEGIN{exit !($time < ${best[$uri]})}"; then
      best[$uri]=$time
    fi
  done
done

echo "lv2bench -b 256 -n $frames (${seconds} s at 48 kHz), fastest of 3:"
printf '| %-42s | %9s | %12s | %14s |\n' "plug-in" "seconds" "ns / sample" "x real time"
for uri in "${uris[@]}"; do
  awk -v uri="$uri" -v time="${best[$uri]}" -v frames="$frames" -v seconds="$seconds" 'BEGIN {
    printf "| %-42s | %9.4f | %12.2f | %14.0f |\n", uri, time, time / frames * 1e9, seconds / time }'
done
