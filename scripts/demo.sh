#!/usr/bin/env bash
# The tour of the project for someone who cannot run the real host: builds the native preset, shows
# what every module library says about itself, renders each module's examples with modhost into
# out/ and measures each one (a summary here, a waveform-and-spectrum plot beside the WAV).
#
# The modules are those the build registered (build/native/modules.txt, written by
# se_add_module); the examples are each module's examples.txt (one line each: name | what to
# listen for | modhost render's arguments), rendered from the module's folder so that the files
# they name are found there. Pelio's show its Mod input sweeping like a low-pass filter, a
# Harmonics step and the Quality setting switched by an automation file; Tessavine's glide under
# each pitch law.
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

root=$(pwd)
modhost=build/native/bin/modhost
# The shipped modules, one "name<TAB>library<TAB>folder" each.
modules=()
while IFS=$'\t' read -r name kind _ library folder; do
  [[ "$name" == \#* || "$kind" != shipped ]] && continue
  modules+=("$name"$'\t'"$library"$'\t'"$folder")
done <build/native/modules.txt
for file in "$modhost" $(printf '%s\n' "${modules[@]}" | cut -f2); do
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

out=out
mkdir -p "$out"
rm -f "$out"/*.wav "$out"/*.svg

trim() {
  local text=$1
  text=${text#"${text%%[![:space:]]*}"}
  printf '%s' "${text%"${text##*[![:space:]]}"}"
}

# Renders one example, then measures it. $1: the module's library; $2: its folder; $3: the
# example's line. modhost runs in the module's folder, so that the files an example names are
# found there.
render_and_analyze() {
  local library=$1 folder=$2 name story arguments
  IFS='|' read -r name story arguments <<<"$3"
  name=$(trim "$name")
  local -a options
  eval "options=($arguments)"
  echo
  echo "== $name: $(trim "$story")"
  echo "\$ modhost render ${library#"$root/"} $(printf '%q ' "${options[@]}")-o $out/$name.wav"
  (cd "$folder" && "$root/$modhost" render "$library" "${options[@]}" -o "$root/$out/$name.wav") \
    </dev/null
  "$modhost" analyze "$out/$name.wav" --svg "$out/$name.svg" </dev/null
}

for module in "${modules[@]}"; do
  IFS=$'\t' read -r name library folder <<<"$module"
  echo
  echo "== modhost info ${library#"$root/"}"
  "$modhost" info "${library#"$root/"}"
  [ -f "$folder/examples.txt" ] || continue
  while IFS= read -r example; do
    [[ -z "$example" || "$example" == \#* ]] && continue
    render_and_analyze "$library" "$folder" "$example"
  done <"$folder/examples.txt"
done

echo
echo "== the tour is in $root/$out/"
for file in "$out"/*; do
  printf '  %-40s %9d bytes\n' "$file" "$(stat -c %s "$file")"
done
echo "Each WAV is 32-bit float (1.0 = 10 V); each SVG shows its spectrogram, pitch and RMS over time (and, for a steady pitch, the waveform and spectrum)."
echo "More: $modhost render --help, $modhost analyze --help, $modhost validate --help"
