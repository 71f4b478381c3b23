#!/usr/bin/env bash
# Wakeups over ten minutes: the library's sampling job against python3-gps trackers doing the
# same job, side by side against one gpsd fed from tests/fixtures/nmea/walk.nmea.
#
#   bash bench/compare-tracker.sh [OUT_DIR]
#
# Side by side rather than one after the other, so that the three processes see the same
# gpsd, the same fixes and the same load on the machine over the same window:
#   library  idle_cost_bench of the Release build, positions from gpsd at the default address
#            (so gpsd_replay.py listens on 127.0.0.1:2947, which must be free);
#   watch    bench/python_tracker.py --mode watch (the usual python3-gps script);
#   poll     bench/python_tracker.py --mode poll (connects every 10 s, as the library does).
# Each process's threads are read from /proc/PID/task/*/status (voluntary and involuntary
# context switches) a few seconds after they started and again LUMVEX_COMPARE_SECONDS (600)
# later. The library's figure leaves out idle_cost_bench's own measuring thread (the
# process's first) and the harness's threads; its process total is printed too.
#
# LUMVEX_COMPARE_RECEIVER=hold makes the receiver say one fix and then nothing (what
# idle_cost_bench's own gpsd does); by default it says a new fix every second, as a receiver
# on the move does. Not run by CI: one run takes LUMVEX_COMPARE_SECONDS plus about 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${LUMVEX_COMPARE_SECONDS:-600}"
receiver="${LUMVEX_COMPARE_RECEIVER:-stream}"
build="${BUILD_DIR:-build/release}"
out="${1:-$(mktemp -d /tmp/compare-tracker.XXXXXX)}"
python=/usr/bin/python3  # Debian's, which has the gps module
mkdir -p "$out"

if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" 2>/dev/null; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
ninja -C "$build" idle_cost_bench >/dev/null

pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap cleanup EXIT

hold=()
[[ "$receiver" == hold ]] && hold=(--hold)
"$python" bench/gpsd_replay.py "${hold[@]}" --port 2947 tests/fixtures/nmea/walk.nmea >"$out/replay.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do
  grep -q '^ready$' "$out/replay.log" && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^ready$' "$out/replay.log"; then
  echo "compare-tracker: gpsd did not come up: $(cat "$out/replay.log")" >&2
  exit 1
fi

# One tick past the window, so that the bench is still idle when the window closes.
mkdir -p "$out/tmp"
TMPDIR="$out/tmp" env -u LUMVEX_BENCH_SOURCE LUMVEX_IDLE_SECONDS=$((seconds + 15)) "$build/bench/idle_cost_bench" \
  --benchmark_counters_tabular=true >"$out/library.txt" 2>&1 &
library=$!
pids+=("$library")
"$python" bench/python_tracker.py --mode watch --out "$out/watch-fixes.txt" 2>"$out/watch.log" &
watch=$!
pids+=("$watch")
"$python" bench/python_tracker.py --mode poll --out "$out/poll-fixes.txt" 2>"$out/poll.log" &
poll=$!
pids+=("$poll")

# One line per thread: tid, name (spaces as _), voluntary, involuntary.
snapshot() {
  local task
  for task in /proc/"$1"/task/*; do
    awk -v tid="${task##*/}" -v name="$(tr ' ' _ <"$task/comm" 2>/dev/null)" '
      /^voluntary_ctxt_switches:/ { v = $2 }
      /^nonvoluntary_ctxt_switches:/ { n = $2 }
      END { if (v != "") print tid, name, v, n }' "$task/status" 2>/dev/null || true
  done
}

# The library's trace file holds one line per fix but is trimmed to its size bound within
# minutes, so its lines are gathered every few seconds while the window lasts.
trace_copy() {
  local file
  file="$(find "$out/tmp" -name '*.lmx' 2>/dev/null | head -n 1)"
  if [[ -n "$file" ]]; then cat "$file" 2>/dev/null || true; fi
}
count_lines() { if [[ -f "$1" ]]; then wc -l <"$1"; else echo 0; fi; }

sleep 3
for name in library watch poll; do snapshot "${!name}" >"$out/$name.start"; done
trace_copy | sort -u >"$out/library-fixes.start"
watch_start="$(count_lines "$out/watch-fixes.txt")"
poll_start="$(count_lines "$out/poll-fixes.txt")"
: >"$out/library-fixes.seen"
window_end=$(($(date +%s%N) + seconds * 1000000000))
while true; do
  left=$((window_end - $(date +%s%N)))
  ((left > 0)) || break
  trace_copy >>"$out/library-fixes.seen"
  sleep "$(awk -v ns="$left" 'BEGIN { s = ns / 1e9; printf "%.3f", (s > 4 ? 4 : s) }')"
done
for name in library watch poll; do snapshot "${!name}" >"$out/$name.end"; done
trace_copy >>"$out/library-fixes.seen"
traced="$(sort -u "$out/library-fixes.seen" | comm -13 "$out/library-fixes.start" - | wc -l)"
watch_end="$(count_lines "$out/watch-fixes.txt")"
poll_end="$(count_lines "$out/poll-fixes.txt")"

# Per thread: tid, name, voluntary and involuntary switches in the window (threads that
# started in it count from zero).
for name in library watch poll; do
  awk 'NR == FNR { v[$1] = $3; n[$1] = $4; next } { print $1, $2, $3 - v[$1], $4 - n[$1] }' \
    "$out/$name.start" "$out/$name.end" >"$out/$name.threads"
done

ticks=$((seconds / 10))
report() {  # name, fixes stored in the window, awk filter for the threads counted
  awk -v name="$1" -v fixes="$2" -v ticks="$ticks" -v seconds="$seconds" "$3"' {
      v += $3; n += $4; split_ = split_ sprintf(" %s=%d/%d", $2, $3, $4)
    }
    END {
      printf "%-8s wakeups=%d involuntary=%d per_tick=%.2f fixes_stored=%s seconds=%d threads(vol/invol):%s\n",
        name, v, n, v / ticks, fixes, seconds, split_
    }' "$out/$1.threads"
}
{
  echo "receiver=$receiver window=${seconds}s ticks=$ticks build=$build"
  report library "$traced" "\$1 != $library && \$2 !~ /^harness-/"
  awk -v pid="$library" '{ v += $3; n += $4 } END { printf "library  process total wakeups=%d involuntary=%d\n", v, n }' \
    "$out/library.threads"
  report watch "$((watch_end - watch_start))" ""
  report poll "$((poll_end - poll_start))" ""
} | tee "$out/summary.txt"

wait "$library" || echo "compare-tracker: idle_cost_bench failed, see $out/library.txt" >&2
grep -E 'BM_IdleStartedLibrary|woke' "$out/library.txt" | tee -a "$out/summary.txt" || true
echo "compare-tracker: results in $out"
