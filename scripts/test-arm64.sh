#!/usr/bin/env bash
# The suites on 64-bit ARM: cross-builds the arm64 preset (the library, the examples and the
# tests, with Debian's aarch64-linux-gnu-g++) and runs its tests with ctest under qemu-user.
# gpsd, GeoClue, the browser and the development collector that the tests start are this
# machine's own; the collector comes from build/default, which this script configures when
# it is missing and of which it builds only the collector. Installs what is missing first
# (scripts/install-deps.sh --test --arm64).
#
#   scripts/test-arm64.sh            every test that runs under qemu
#   scripts/test-arm64.sh -R REGEX   only the tests whose names match (passed to ctest)
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h | --help)
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit 0
    ;;
esac

bash scripts/install-deps.sh --test --arm64
if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default
fi
cmake --build --preset default --target lumvex-collector --parallel "$(nproc)"
cmake --preset arm64
cmake --build --preset arm64 --parallel "$(nproc)"
ctest --preset arm64 --parallel "$(nproc)" "$@"
