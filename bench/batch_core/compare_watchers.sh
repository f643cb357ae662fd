#!/usr/bin/env bash
# Our folder watcher beside inotifywait (inotify-tools), fswatch and watchman, on the same four
# cases, one run each, one fresh folder per tool and case:
#   flat      10,000 files of 4 KiB copied into the folder (cp -r)
#   nested    100 folders of 100 files each copied in (cp -r)
#   overflow  20,000 files copied in while the watcher is held (SIGSTOP), more than the kernel's
#             event queue keeps (16,384 by default), then let go
#   slow      one 64 MiB file written through one descriptor in 16 chunks 0.2 s apart
# For each: the distinct files reported (of those copied), all reports of them, deliveries (our
# handler calls, inotifywait lines, fswatch batches, watchman notifications), the lag from the end
# of the copy to the last report, the peak resident size (VmHWM) of the watching process, and for
# the slow writer the size of the file when it was first reported. Latency 0.1 s for ours and
# fswatch; watchman settles after 20 ms by default. Usage:
#   bench/batch_core/compare_watchers.sh [path/to/bench_folder_watcher]
# The peers are only referees here: installed from Debian by this script when missing.
set -euo pipefail
BIN=${1:-build/bench/batch_core/bench_folder_watcher}
BIN=$(realpath "$BIN")
LATENCY=0.1

need=()
command -v inotifywait >/dev/null || need+=(inotify-tools)
command -v fswatch >/dev/null || need+=(fswatch)
command -v watchman >/dev/null || need+=(watchman)
if [ "${#need[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

DIR=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

# The sources, made once.
mkdir -p "$DIR/src/flat" "$DIR/src/nested" "$DIR/src/overflow"
block=$(head -c 3072 /dev/urandom | base64 -w0)  # 4 KiB of text; printf is a builtin, no fork per file
for ((i = 0; i < 10000; i++)); do printf '%s' "$block" >"$DIR/src/flat/f$i.dat"; done
for ((d = 0; d < 100; d++)); do
  mkdir "$DIR/src/nested/d$d"
  for ((f = 0; f < 100; f++)); do printf '%s' "$block" >"$DIR/src/nested/d$d/f$f.dat"; done
done
for ((i = 0; i < 20000; i++)); do : >"$DIR/src/overflow/o$i.dat"; done

now_ns() { date +%s%N; }
# "exited" when the tool is no longer running at the end (it crashed or gave up)
peak_mb() { awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo "exited"; }

# Waits until the report file has not grown for 2 s (at most 60 s).
wait_quiet() {
  local last=-1 same=0 size
  for _ in $(seq 1 120); do
    size=$(wc -l <"$1")
    if [ "$size" = "$last" ]; then same=$((same + 1)); else same=0; last=$size; fi
    [ "$same" -ge 4 ] && return 0
    sleep 0.5
  done
}

# start_<tool> <watched folder> <report file>: starts it; sets WATCHER (the pid to hold and measure)
start_ours() {
  "$BIN" watch "$1" "$LATENCY" >"$2" 2>"$2.err" &
  WATCHER=$!; pids+=("$WATCHER")
  until grep -q watching "$2.err" 2>/dev/null; do kill -0 "$WATCHER" || exit 1; sleep 0.05; done
}
start_inotifywait() {
  mkfifo "$2.fifo"
  "$BIN" lines <"$2.fifo" >"$2" & pids+=($!)
  inotifywait -m -r -e create -e close_write -e moved_to --format '%w%f' "$1" >"$2.fifo" 2>"$2.err" &
  WATCHER=$!; pids+=("$WATCHER")
  until grep -q "Watches established" "$2.err" 2>/dev/null; do kill -0 "$WATCHER" || exit 1; sleep 0.05; done
}
start_fswatch() {
  mkfifo "$2.fifo"
  "$BIN" batches NoOp <"$2.fifo" >"$2" & pids+=($!)
  stdbuf -oL fswatch -r -l "$LATENCY" --batch-marker "$1" >"$2.fifo" 2>"$2.err" &
  WATCHER=$!; pids+=("$WATCHER")
  sleep 1  # it says nothing when ready
}
start_watchman() {
  local sock="$2.sock"
  watchman --foreground --sockname="$sock" --statefile="$2.state" --logfile="$2.log" --pidfile="$2.pid" \
    >/dev/null 2>&1 &
  WATCHER=$!; pids+=("$WATCHER")
  until watchman --sockname="$sock" watch "$1" >/dev/null 2>&1; do sleep 0.1; done
  mkfifo "$2.fifo"
  "$BIN" watchman "$1" <"$2.fifo" >"$2" & pids+=($!)
  printf '["subscribe","%s","s",{"fields":["name","size","exists","type"],"expression":["type","f"],"empty_on_fresh_instance":true}]\n' "$1" |
    watchman --sockname="$sock" -j -p --no-pretty >"$2.fifo" 2>"$2.err" & pids+=($!)
  sleep 1
}
stop_tool() {
  kill "$WATCHER" 2>/dev/null || true
  if [ "$1" = watchman ]; then watchman --sockname="$2.sock" shutdown-server >/dev/null 2>&1 || true; fi
  sleep 0.3
}

# case_<name> <watched folder>: does the work
case_flat() { cp -r "$DIR/src/flat/." "$1/"; }
case_nested() { cp -r "$DIR/src/nested/." "$1/"; }
case_overflow() {
  kill -STOP "$WATCHER"
  cp -r "$DIR/src/overflow/." "$1/"
  kill -CONT "$WATCHER"
}
case_slow() {
  for i in $(seq 1 16); do
    if [ "$i" -gt 1 ]; then sleep 0.2; fi
    head -c 4194304 /dev/zero
  done >"$1/big.dat"
}
declare -A expected=([flat]=10000 [nested]=10000 [overflow]=20000 [slow]=1)

printf '%-9s %-12s %13s %9s %9s %8s %8s %10s\n' case tool files reports calls "lag ms" "peak MB" "1st MiB"
# lag: from the end of the copy (the last chunk for the slow writer) to the last report; negative
# when nothing came after the copy ended
results="$DIR/results"
: >"$results"
for case in flat nested overflow slow; do
  for tool in ours inotifywait fswatch watchman; do
    w="$DIR/w-$tool-$case"
    out="$DIR/out-$tool-$case"
    mkdir -p "$w"
    "start_$tool" "$w" "$out"
    "case_$case" "$w"
    end=$(now_ns)
    wait_quiet "$out"
    peak=$(peak_mb "$WATCHER")
    stop_tool "$tool" "$out"
    awk -v end="$end" -v n="${expected[$case]}" -v c="$case" -v t="$tool" -v peak="$peak" '
      $3 == "CALLBACK" { calls++; next }
      $3 ~ /\.dat$/ {
        reports++
        if (!($3 in seen)) { seen[$3] = 1; files++; if (first == "") first = $2 }
        if ($1 > last) last = $1
      }
      END {
        lag = last ? (last - end) / 1e6 : -1
        firstMiB = (c == "slow" && first != "") ? sprintf("%.1f", first / 1048576) : "-"
        printf "%-9s %-12s %6d/%-6d %9d %9d %8.0f %8s %10s\n", c, t, files, n, reports, calls, lag, peak, firstMiB
        printf "%s %s %d %d %d %.0f %s\n", c, t, files, reports, calls, lag, peak >> "'"$results"'"
      }' "$out"
  done
done

echo
echo "ratios, ours : peer (lag after the copy; peak resident size)"
awk '
  { key = $1; tool = $2; lag[key, tool] = $6; mb[key, tool] = $7; if (!(key in seenCase)) { seenCase[key] = 1; order[++cases] = key } }
  END {
    for (i = 1; i <= cases; i++) {
      k = order[i]
      line = sprintf("%-9s", k)
      split("inotifywait fswatch watchman", peers, " ")
      for (p = 1; p <= 3; p++) {
        l = (lag[k, peers[p]] > 0 && lag[k, "ours"] > 0) ? sprintf("%.2f", lag[k, "ours"] / lag[k, peers[p]]) : "-"
        m = (mb[k, peers[p]] + 0 > 0) ? sprintf("%.2f", mb[k, "ours"] / mb[k, peers[p]]) : "-"
        line = line sprintf("  %s %s/%s", peers[p], l, m)
      }
      print line
    }
  }' "$results"
