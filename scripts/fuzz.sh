#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour sanitizers) and
# runs each for a bounded time from its seed corpus in tests/fuzz/corpus/<target>/.
# Fails as soon as a target crashes; the input that did it is left in
# build/fuzz/findings/<target>/ (turn it into a regression test in the normal suite).
#
#   scripts/fuzz.sh                 every target, 30 s each (LUMVEX_FUZZ_SECONDS overrides)
#   scripts/fuzz.sh 600 trace_file  one target for ten minutes
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-${LUMVEX_FUZZ_SECONDS:-30}}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(trace_file line_reader info_plist device_sources upload_check)
fi

bash scripts/install-deps.sh --test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target lumvex_fuzzers --parallel "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  seeds="tests/fuzz/corpus/$target"
  # New inputs go to a scratch corpus in the build tree, so the committed starting inputs
  # stay as they are.
  work="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  echo "fuzz: $target for ${seconds}s"
  start=$(date +%s)
  if ! "build/fuzz/tests/fuzz/${target}_fuzz" "$work" "$seeds" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -artifact_prefix="$findings/" -print_final_stats=1 >"build/fuzz/$target.log" 2>&1; then
    tail -n 60 "build/fuzz/$target.log"
    echo "fuzz: $target crashed; the input is in $findings/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "build/fuzz/$target.log" | tail -n 2 || true
  echo "fuzz: $target passed in $(( $(date +%s) - start ))s"
done
