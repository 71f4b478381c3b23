#!/usr/bin/env bash
# The README's test command: installs what is missing (the test toolchain included),
# configures, builds and runs every test with ctest, the consumer builds among them.
#
#   scripts/test.sh [preset]   default (the default), tsan or asan
#
# The sanitizer presets run the suites only: their instrumented library cannot be linked
# into the plain hosts of the consumer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h | --help)
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    exit 0
    ;;
esac
preset="${1:-default}"

bash scripts/install-deps.sh --test
cmake --preset "$preset"
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset" --parallel "$(nproc)"
