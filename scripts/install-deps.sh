#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need.
#
# Idempotent and cheap: when every package is installed (and the i386 architecture is enabled,
# which wine32 and the x86 preset's libraries need) it only asks dpkg and touches no network.
# Otherwise, as root: enables i386, runs apt-get update once and installs what is missing.
set -euo pipefail

packages=(
  cmake ninja-build
  g++ gcc-multilib g++-multilib   # native and i386 Linux
  g++-mingw-w64-i686              # 32-bit Windows; brings the -posix compilers
  wine wine32:i386                # runs the Windows test programs
  libgtest-dev                    # GoogleTest sources in /usr/src/googletest
  libcli11-dev nlohmann-json3-dev libbenchmark-dev
  libsndfile1-dev sox             # other programs' WAV readers and writers, to check modhost's
  librsvg2-bin                    # rsvg-convert, another program that must draw modhost's plots
  aubio-tools                     # aubiopitch, the pitch tracker modhost analyze is compared with
  libmpfr-dev                     # test-only: the correctly rounded reference of portable_math
  lv2-dev                         # the LV2 bridge's headers
  lilv-utils serdi blop-lv2       # LV2 hosts' tools and a Turtle reader to test the bridge with;
                                  # blop's oscillators to time it against
  clang-format python3
  clang libclang-rt-14-dev llvm   # libFuzzer and the sanitizer runtimes; llvm-symbolizer
)

installed() {
  dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed
}

need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done

if [ "$need_i386" -eq 0 ] && [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "install-deps: missing packages (${missing[*]}) and not root; install them as root." >&2
    exit 1
  fi
fi

if [ "$need_i386" -eq 1 ]; then
  echo "install-deps: enabling the i386 architecture"
  "${as_root[@]}" dpkg --add-architecture i386
fi
echo "install-deps: installing ${missing[*]:-(nothing; refreshing for i386)}"
# A mirror caught mid-sync fails one index now and then ("File has unexpected size"); try again,
# and go on to the install with whatever indexes did arrive: only a failed install is fatal.
for attempt in 1 2 3 4; do
  "${as_root[@]}" apt-get update && break
  echo "install-deps: apt-get update failed (attempt $attempt); retrying" >&2
  sleep $((attempt * 5))
done
install_missing() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "$@" "${missing[@]}"
}
if [ "${#missing[@]}" -gt 0 ] && ! install_missing; then
  # Without the security suite's i386 index, apt pairs the i386 libraries of the main suite with
  # amd64 candidates from the security suite, and multi-arch packages must match to the version.
  # Holding the security suite below what is installed keeps both halves at the main suite's
  # versions, which always agree.
  echo "install-deps: retrying with the security suite held back (its i386 index is missing)" >&2
  preferences=$(mktemp)
  trap 'rm -f "$preferences"' EXIT
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 50\n' >"$preferences"
  install_missing -o "Dir::Etc::Preferences=$preferences"
fi
