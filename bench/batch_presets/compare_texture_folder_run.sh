#!/usr/bin/env bash
# Time per texture item against the size of its folder: one channel-packing run through the real
# batch queue (4x4 ambient-occlusion maps, one set each, four items at a time) over 1,000, 4,000,
# 16,000 and 50,000 maps in one folder, and over 50,000 maps in 500 folders of 100. Each binary
# given is run on every case, the binaries alternating within a case, ROUNDS times, pinned to the
# same cores. Prints one line per run (wall time and processor time) and the machine's load before
# each case.
#   bench/batch_presets/compare_texture_folder_run.sh [-c CORES] [-r ROUNDS] [-s CASES] LABEL=BINARY...
# CASES is a comma-separated subset of 1000,4000,16000,50000,50000x500 (default: all); a binary
# whose label ends in "-flat16k" is skipped on the cases above 16,000 files in one folder.
set -euo pipefail
CORES=4-7
ROUNDS=1
CASES=1000,4000,16000,50000,50000x500
while getopts "c:r:s:" opt; do
  case $opt in
    c) CORES=$OPTARG ;;
    r) ROUNDS=$OPTARG ;;
    s) CASES=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-c CORES] [-r ROUNDS] [-s CASES] LABEL=BINARY..." >&2; exit 2; }

DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
MAKER=${1#*=}

IFS=, read -r -a cases <<<"$CASES"
for c in "${cases[@]}"; do
  count=${c%x*}
  folders=1
  [[ $c == *x* ]] && folders=${c#*x}
  "$MAKER" make "$DIR/in-$c" "$count" "$folders"
  echo "== $count maps in $folders folder(s); load: $(uptime | sed 's/.*load average: //')"
  for ((round = 1; round <= ROUNDS; round++)); do
    for pair in "$@"; do
      label=${pair%%=*}
      bin=${pair#*=}
      if [[ $label == *-flat16k && $folders == 1 && $count -gt 16000 ]]; then
        echo "$(printf '%-8s' "$label") not run"
        continue
      fi
      rm -rf "$DIR/out"
      printf '%-8s ' "$label"
      # The processor time beside the wall time: the machine is shared, so the wall time also
      # holds the time others took from the pinned cores.
      /usr/bin/time -f "cpu %U user %S sys" -o "$DIR/cpu" taskset -c "$CORES" "$bin" run "$DIR/in-$c" "$DIR/out" |
        tr -d '\n'
      echo " $(cat "$DIR/cpu")"
    done
  done
  rm -rf "$DIR/in-$c" "$DIR/out"
done
