#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that LumvexSdk needs, and nothing that is
# already there.
#
#   scripts/install-deps.sh          what the library, the collector and the demo need
#   scripts/install-deps.sh --test   that, and what the tests, benchmarks and fuzz targets
#                                    need too (a browser, clang, GoogleTest, Benchmark)
#   scripts/install-deps.sh --arm64  the first set, the arm64 cross compiler and qemu-user,
#                                    and the arm64 libraries unpacked into
#                                    build/arm64-sysroot (or $LUMVEX_ARM64_SYSROOT); no
#                                    :arm64 package is installed on the machine itself
#   scripts/install-deps.sh --test --arm64   all of it
set -euo pipefail

# Building the library, the development collector and the demo, and running the demo.
packages=(
  build-essential cmake ninja-build pkg-config
  libplist-dev nlohmann-json3-dev libsodium-dev libcurl4-openssl-dev libssl-dev libgps-dev gpsd
  libsystemd-dev  # the GeoClue client talks D-Bus through sd-bus
  libsqlite3-dev
  ca-certificates  # the trust store that https uploads are checked against
  gpsd-clients  # gpspipe and cgps, to see what gpsd reports (README's Troubleshooting)
  libpq-dev  # the collector's PostgreSQL store
  libboost-dev libcli11-dev  # the collector's HTTP server (Boost.Beast) and command line (CLI11)
)
# Only for testing.
test_packages=(
  chromium  # headless, for the test of the collector's page
  git clang clang-format libclang-rt-14-dev  # clang: a consumer build and the fuzz targets
  libgtest-dev libgmock-dev libbenchmark-dev
  openssl  # certificates for the https tests
  sqlite3  # to look into the collector's database
  dbus geoclue-2.0 geoclue-2-demo  # a private system bus, GeoClue and its agent
  python3  # compares the shared library's exported symbols with its headers
  python3-pytest python3-venv python3-pip python3-setuptools  # the Python package's tests
  postgresql  # a server that the collector's tests start for themselves
  libglib2.0-dev  # a host's GLib main loop driving the library's run loop
)

# Cross-building for 64-bit ARM boards and running the result here under qemu-user.
arm64_packages=(g++-aarch64-linux-gnu qemu-user)
# The arm64 libraries that the library and its tests link, with everything they pull in.
# They are unpacked into a folder of their own rather than installed next to the native
# ones: an :arm64 -dev package must carry exactly the version of its amd64 twin, so
# installing it can upgrade the machine's own libraries (and headers) under every native
# build. The cross compiler brings its own C library and C++ headers, so those are left out.
arm64_libraries=(
  libplist-dev libsodium-dev libcurl4-openssl-dev libssl-dev libgps-dev libsystemd-dev
  libgtest-dev libgmock-dev libglib2.0-dev
)
arm64_not_unpacked='^(libc6-dev|linux-libc-dev|libcrypt-dev|libstdc\+\+-[0-9]+-dev|libgcc-[0-9]+-dev|pkgconf|pkg-config):arm64$'
arm64=false

for argument in "$@"; do
  case "$argument" in
    --test) packages+=("${test_packages[@]}") ;;
    --arm64)
      packages+=("${arm64_packages[@]}")
      arm64=true
      ;;
    -h | --help)
      awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
      exit 0
      ;;
    *)
      echo "install-deps.sh: unknown argument $argument (see --help)" >&2
      exit 2
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
need_root() {
  if [ "$(id -u)" -ne 0 ] && [ ${#sudo_cmd[@]} -eq 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "install-deps.sh: $1" >&2
      echo "That needs root, and sudo is not installed. As root, run:" >&2
      echo "  $2" >&2
      echo "or install sudo, then run this script again." >&2
      exit 1
    fi
    sudo_cmd=(sudo)
  fi
}

if [ ${#missing[@]} -gt 0 ]; then
  need_root "these Debian packages are missing: ${missing[*]}" \
    "apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # apt's own progress stays visible: downloads can take a while on a fresh machine.
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

if ! $arm64; then
  exit 0
fi

# apt only offers the arm64 packages once dpkg knows the architecture. Adding it installs
# nothing by itself.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  need_root "dpkg does not know the arm64 architecture yet" \
    "dpkg --add-architecture arm64 && apt-get update"
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
  "${sudo_cmd[@]}" apt-get update
fi

sysroot="${LUMVEX_ARM64_SYSROOT:-$(cd "$(dirname "$0")/.." && pwd)/build/arm64-sysroot}"
# What apt would install for the libraries on this machine: the closure that is missing,
# with its exact versions. Nothing is installed; the simulation only names the files.
wanted=()
while read -r name version; do
  if ! [[ "$name" =~ $arm64_not_unpacked ]]; then
    wanted+=("$name=$version")
  fi
done < <(apt-get install -s --no-install-recommends "${arm64_libraries[@]/%/:arm64}" |
  awk '/^Inst / && /\[arm64\]\)/ { v = $0; sub(/^[^(]*\(/, "", v); sub(/ .*/, "", v); print $2, v }')
# The JSON library is headers only, for every architecture.
wanted+=("nlohmann-json3-dev")
if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$(printf '%s\n' "${wanted[@]}")" ]; then
  exit 0
fi

echo "Unpacking the arm64 libraries into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot/.debs"
(cd "$sysroot/.debs" && apt-get download "${wanted[@]}")
for deb in "$sysroot"/.debs/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
rm -rf "$sysroot/.debs"
# Absolute links point out of the folder, at the machine's own files; make them relative so
# that the compiler, the linker and qemu all stay inside it.
find "$sysroot" -type l -lname '/*' | while read -r link; do
  target="$(readlink "$link")"
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
done
printf '%s\n' "${wanted[@]}" >"$sysroot/.packages"
