#!/usr/bin/env bash
# Benchmark smoke run on an existing build (default: build/default): every benchmark once and
# briefly, each printing its ratio to its baseline, the idle cost over two sampling ticks
# and the stripped size of the shared library. Fails when the upload body costs more than
# 3x a plain dump of the same object in CPU time (its target is 2x; the margin is for a
# shared, noisy machine; wall time on a loaded machine measures the load), when any thread of the idle library woke between two ticks, or when a
# benchmark could not measure (each says which and why, and exits with status 1).
# The figures in bench/RESULTS.md come from the longer runs given there.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"
bench="$build/bench"

cmake --build "$build" --parallel 2 --target LumvexSdk trace_store_bench push_body_bench host_call_bench \
  idle_cost_bench

short=(--benchmark_min_time=0.05 --benchmark_color=false)
# The store's cost is mostly disk flushes, whose latency drifts with other I/O on the
# machine: interleaved repetitions give the store and its baseline the same disk.
"$bench/trace_store_bench" "${short[@]}" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
body="$(mktemp)"
idle="$(mktemp)"
trap 'rm -f "$body" "$idle" "$idle.so"' EXIT
"$bench/push_body_bench" "${short[@]}" --benchmark_repetitions=3 | tee "$body"
ratio="$(awk '/BM_BuildAndSerialiseBody \/ BM_BaselineNlohmannDump in CPU time = / { print $NF }' "$body")"
if [[ -z "$ratio" ]] || ! awk -v r="$ratio" 'BEGIN { exit !(r <= 3.0) }'; then
  echo "bench-smoke: the upload body costs ${ratio:-an unknown multiple} of a plain dump in CPU time (at most 3x)" >&2
  exit 1
fi
"$bench/host_call_bench" --benchmark_color=false --benchmark_enable_random_interleaving=true
if [[ -x "$bench/location_request_bench" ]]; then
  # GeoClue runs in a mount namespace of its own, which only root can make.
  only=()
  if [[ "$(id -u)" != 0 ]]; then
    only=(--benchmark_filter=-GeoClue)
  fi
  "$bench/location_request_bench" "${short[@]}" "${only[@]}"
fi

"$bench/idle_cost_bench" --benchmark_color=false | tee "$idle"
if ! grep -q 'wakeups_between_ticks=0 ' "$idle"; then
  echo "bench-smoke: a thread of the idle library woke between two ticks" >&2
  exit 1
fi

cp "$build/LumvexSdk/libLumvexSdk.so" "$idle.so"
strip "$idle.so"
echo "libLumvexSdk.so stripped: $(stat -c %s "$idle.so") bytes"
