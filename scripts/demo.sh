#!/usr/bin/env bash
# The README's demo command: installs what is missing, configures, builds the demo host
# application and runs it. The demo starts the development collector and a gpsd of its
# own, and ends both before it exits. Arguments go to the demo (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default --log-level=WARNING
cmake --build --preset default --target lumvex-demo --parallel "$(nproc)"
exec build/default/examples/demo/lumvex-demo "$@"
