#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that LumvexSdk needs, and nothing that is
# already there.
#
#   scripts/install-deps.sh          what the library, the collector and the demo need
#   scripts/install-deps.sh --test   that, and what the tests, benchmarks and fuzz targets
#                                    need too (a browser, clang, GoogleTest, Benchmark)
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

case "${1:-}" in
  "") ;;
  --test) packages+=("${test_packages[@]}") ;;
  -h | --help)
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit 0
    ;;
  *)
    echo "install-deps.sh: unknown argument $1 (see --help)" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps.sh: these Debian packages are missing: ${missing[*]}" >&2
    echo "Installing them needs root, and sudo is not installed. As root, run:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    echo "or install sudo, then run this script again." >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# apt's own progress stays visible: downloads can take a while on a fresh machine.
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
