#!/usr/bin/env bash
# The tour of the project for someone who cannot run the real host: builds the native preset, shows
# what the two module libraries say about themselves, renders a few short patches with modhost into
# out/ and measures each one (a summary here, a waveform-and-spectrum plot beside the WAV).
#
#   Pelio    Mod swept from 20 V to 0 V: the harmonics fade from the top down, like a low-pass
#            filter (with two fixed-Mod snapshots to compare the harmonic levels); a step of
#            Harmonics from 16 to 4; the Quality setting switched during a render by an
#            automation file.
#   Tessavine  a pitch glide under each pitch law, 1 Volt/Octave and 1 Volt/kHz.
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

modhost=build/native/bin/modhost
pelio=build/native/plugins/pelio.so
tessavine=build/native/plugins/tessavine.so
for file in "$modhost" "$pelio" "$tessavine"; do
  if [ ! -e "$file" ]; then
    echo "the build did not make $file" >&2
    exit 1
  fi
done

echo
echo "== plug-ins in build/native/plugins/"
for plugin in build/native/plugins/*.so; do
  exports=$(nm -D --defined-only "$plugin" | awk '{ print $NF }' | paste -sd' ')
  printf '%-40s %8d bytes  exports: %s\n' "$plugin" "$(stat -c %s "$plugin")" "$exports"
done

echo
echo "== modhost info $tessavine"
"$modhost" info "$tessavine"
echo
echo "== modhost info $pelio"
"$modhost" info "$pelio"

out=out
mkdir -p "$out"
rm -f "$out"/*.wav "$out"/*.svg "$out"/*.automation

# Renders one patch, then measures it. $1: the file's name without extension; $2: what to look for;
# the rest: modhost render's arguments after the output.
render_and_analyze() {
  local name=$1 story=$2
  shift 2
  echo
  echo "== $name: $story"
  echo "\$ modhost render $(printf '%q ' "$@")-o $out/$name.wav"
  "$modhost" render "$@" -o "$out/$name.wav"
  "$modhost" analyze "$out/$name.wav" --svg "$out/$name.svg"
}

# Eight harmonics at 1/k of the first: a band-limited sawtooth at 110 Hz (3 V, 1 Volt/Octave).
sawtooth=(--set Pitch=3 --set 1f=5 --set 2f=2.5 --set 3f=1.6667 --set 4f=1.25 --set 5f=1
  --set 6f=0.8333 --set 7f=0.7143 --set 8f=0.625)

render_and_analyze pelio-mod-sweep \
  "a 110 Hz sawtooth of 8 harmonics while Mod falls from 20 V to 0 V over 3 s; the upper harmonics fade first" \
  "$pelio" --seconds 3 "${sawtooth[@]}" --ramp Mod=20:0
render_and_analyze pelio-mod-20V \
  "the same sawtooth held at Mod 20 V: every harmonic at 1/k of the first" \
  "$pelio" --seconds 0.5 "${sawtooth[@]}" --set Mod=20
render_and_analyze pelio-mod-10V \
  "held at Mod 10 V: the fundamental stays, the upper harmonics drop by tens of dB" \
  "$pelio" --seconds 0.5 "${sawtooth[@]}" --set Mod=10

sixteen=(--set Pitch=2)
for harmonic in $(seq 1 16); do
  sixteen+=(--set "${harmonic}f=$(awk -v k="$harmonic" 'BEGIN { printf "%.4f", 5 / k }')")
done
render_and_analyze pelio-harmonics-step \
  "sixteen harmonics at 55 Hz; at 1 s Harmonics steps from 16 to 4 (an event at sample 44100)" \
  "$pelio" --seconds 2 "${sixteen[@]}" --at 1s:Harmonics=4

cat >"$out/pelio-quality.automation" <<'EOF'
# modhost render --automation: one TIME:NAME=VALUE per line (TIME in samples, or with s or ms).
# Pelio's sine and cosine: Taylor polynomials (Normal, High), then the maths library (Ultra-High).
0:Quality=Normal
1s:Quality=High
2s:Quality=Ultra-High
EOF
render_and_analyze pelio-quality \
  "a 440 Hz sine whose Quality switches Normal -> High -> Ultra-High at 1 s and 2 s ($out/pelio-quality.automation)" \
  "$pelio" --seconds 3 --set 1f=5 --automation "$out/pelio-quality.automation"

render_and_analyze tessavine-glide-octave \
  "Pitch glides from 3 V to 8 V under 1 Volt/Octave: 110 Hz to 3520 Hz, five octaves in 3 s" \
  "$tessavine" --seconds 3 --ramp Pitch=3:8
render_and_analyze tessavine-glide-khz \
  "Pitch glides from 0.1 V to 2 V under 1 Volt/kHz: 100 Hz to 2000 Hz, linear in frequency" \
  "$tessavine" --seconds 3 --set "Freq Scale=1 Volt/kHz" --ramp Pitch=0.1:2

echo
echo "== the tour is in $(cd "$out" && pwd)/"
for file in "$out"/*; do
  printf '  %-40s %9d bytes\n' "$file" "$(stat -c %s "$file")"
done
echo "Each WAV is 32-bit float (1.0 = 10 V); each SVG shows its waveform and spectrum."
echo "More: $modhost render --help, $modhost analyze --help, $modhost validate --help"
