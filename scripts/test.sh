#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
# With a preset name (default, asan, tsan) as the first argument, uses that preset.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" --parallel "$(nproc)"
ctest --preset "$preset" --parallel "$(nproc)"
