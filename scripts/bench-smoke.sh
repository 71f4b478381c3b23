#!/usr/bin/env bash
# Benchmark smoke run on an existing build (default: build/default): every benchmark once and
# briefly, each printing its ratio to its baseline, the idle cost over two sampling ticks
# and the stripped size of the shared library.
#
# It fails only on what the code decides, whatever machine runs it: a benchmark that could
# not measure (each says which and why, and exits with status 1), or a thread of the idle
# library that woke between two ticks. The ratios are printed and never judged here: a
# ratio of two CPU times moves with the processor, the file system and whatever else the
# machine runs, so a gate on one passes or fails a correct change by where it ran. Their
# targets, and the longer runs that measure them, are in bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
bench="$build/bench"

cmake --build "$build" --parallel 2 --target LumvexSdk trace_store_bench push_body_bench host_call_bench \
  idle_cost_bench offline_store_bench

short=(--benchmark_min_time=0.05 --benchmark_color=false)
# The store's cost is mostly disk flushes, whose latency drifts with other I/O on the
# machine: interleaved repetitions give the store and its baseline the same disk.
"$bench/trace_store_bench" "${short[@]}" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
body="$(mktemp)"
idle="$(mktemp)"
trap 'rm -f "$body" "$idle" "$idle.so"' EXIT
"$bench/push_body_bench" "${short[@]}" --benchmark_repetitions=3 | tee "$body"
ratio="$(awk '/BM_BuildAndSerialiseBody \/ BM_BaselineNlohmannDump in CPU time = / { print $NF }' "$body")"
if [[ -z "$ratio" ]]; then
  echo "bench-smoke: push_body_bench printed no body ratio" >&2
  exit 1
fi
echo "bench-smoke: the upload body costs ${ratio}x a plain dump in CPU time (printed, not judged: see bench/RESULTS.md)"
"$bench/host_call_bench" --benchmark_color=false --benchmark_enable_random_interleaving=true
if [[ -x "$bench/location_request_bench" ]]; then
  # GeoClue runs in a mount namespace of its own, which only root can make.
  only=()
  if [[ "$(id -u)" != 0 ]]; then
    only=(--benchmark_filter=-GeoClue)
  fi
  "$bench/location_request_bench" "${short[@]}" "${only[@]}"
fi

"$bench/offline_store_bench" "${short[@]}"
"$bench/idle_cost_bench" --benchmark_color=false | tee "$idle"
if ! grep -q 'wakeups_between_ticks=0 ' "$idle"; then
  echo "bench-smoke: a thread of the idle library woke between two ticks" >&2
  exit 1
fi

cp "$build/LumvexSdk/libLumvexSdk.so" "$idle.so"
strip "$idle.so"
echo "libLumvexSdk.so stripped: $(stat -c %s "$idle.so") bytes"
