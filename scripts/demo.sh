#!/usr/bin/env bash
# The README's demo command: installs what is missing (no test toolchain), configures and
# builds the demo host application in build/demo, and runs it. The demo starts the
# development collector and a gpsd of its own, and ends both before it exits.
#
#   scripts/demo.sh [demo options]   options go to the demo; --help lists them
set -euo pipefail
cd "$(dirname "$0")/.."

demo=build/demo/examples/demo/lumvex-demo
for arg in "$@"; do
  if [[ "$arg" == "-h" || "$arg" == "--help" ]]; then
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
    echo
    # The demo's own --help, kept beside it so that it shows before anything is built
    # (ctest's demo_usage checks that the two agree).
    cat examples/demo/usage.txt
    exit 0
  fi
done

bash scripts/install-deps.sh
cmake --preset demo --log-level=WARNING
cmake --build --preset demo --target lumvex-demo --parallel "$(nproc)"
exec "$demo" "$@"
