#!/usr/bin/env bash
# The output planner's dry run beside mmv -n (and rename -n) on the same files, one run each:
#   packing  2,500 four-map material sets in one folder (10,000 files)
#   sprite   10,000 frames of one animation in one folder
# For each tool: wall time and peak resident size (GNU time), and for ours also the plan's own
# time. mmv plans a rename of every file with collision detection; rename (Perl) plans the same
# renames without it. Usage:
#   bench/batch_presets/compare_output_planner.sh [path/to/bench_output_planner]
# The peers are only referees here: installed from Debian by this script when missing.
set -euo pipefail
BIN=${1:-build/bench/batch_presets/bench_output_planner}
BIN=$(realpath "$BIN")

need=()
command -v mmv >/dev/null || need+=(mmv)
command -v rename >/dev/null || need+=(rename)
[ -x /usr/bin/time ] || need+=(time)
if [ "${#need[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
"$BIN" sets "$DIR/packing" 2500
"$BIN" frames "$DIR/sprite" 10000

measure() {  # label, command...
  local label=$1; shift
  local out
  out=$( { /usr/bin/time -f "TIME %e %M" "$@" >"$DIR/stdout" 2>"$DIR/stderr"; } 2>&1; grep TIME "$DIR/stderr" || true)
  read -r _ secs kb <<<"$(grep TIME "$DIR/stderr" | tail -1)"
  printf "%-8s %-14s %6.3f s %7.1f MB  %s\n" "$CASE" "$label" "$secs" "$(echo "$kb/1024" | bc -l)" \
    "$(grep -v TIME "$DIR/stdout" "$DIR/stderr" 2>/dev/null | grep -c . || true) lines"
  [ "$label" = "ours" ] && grep -h "plan" "$DIR/stdout" | sed 's/^/                  /'
  return 0
}

for CASE in packing sprite; do
  cd "$DIR/$CASE"
  measure ours "$BIN" plan "$CASE" "$DIR/$CASE"
  if [ "$CASE" = packing ]; then
    measure "mmv -n" mmv -n '*.png' '#1_ORM.png'
    measure "rename -n" rename -n 's/\.png$/_ORM.png/' ./*.png
  else
    measure "mmv -n" mmv -n 'frame_*.png' 'walk_#1.png'
    measure "rename -n" rename -n 's/^\.\/frame_/walk_/' ./*.png
  fi
  cd - >/dev/null
done
