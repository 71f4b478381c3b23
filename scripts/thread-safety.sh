#!/usr/bin/env bash
# Builds the library and the test support with clang, whose -Wthread-safety checks every
# member declared LUMVEX_GUARDED_BY against the locks held where it is read or written,
# with warnings as errors (the `clang` preset). Nothing is run: the build is the check.
# A Debug build, so that it takes a couple of minutes on two cores.
#
#   scripts/thread-safety.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
cmake --preset clang >/dev/null
# lumvex_test_support builds the library's sources (through the internal archive) and the
# tests' shared support; the shared library is the same sources again.
cmake --build --preset clang --target lumvex_test_support --parallel "$(nproc)"
echo "thread-safety: clang's analysis found nothing in the library or the test support"
