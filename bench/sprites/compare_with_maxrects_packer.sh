#!/bin/sh
# Runs the sheet benchmark and the npm package maxrects-packer on the same rectangles and
# prints one table. Given a second benchmark binary (an earlier build), its layout figures
# stand beside them as "before".
# Usage: compare_with_maxrects_packer.sh <path to bench_sprite_packing> [<earlier bench_sprite_packing>]
set -eu
bench=${1:?path to bench_sprite_packing}
before=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/morvale-sprite-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
node_dir=/tmp/morvale-maxrects-packer
if [ ! -d "$node_dir/node_modules/maxrects-packer" ]; then
  mkdir -p "$node_dir"
  npm install --prefix "$node_dir" --no-audit --no-fund --silent maxrects-packer >/dev/null
fi
MORVALE_SPRITE_RECTS_DIR="$work" "$bench" --benchmark_format=json --benchmark_out="$work/ours.json" \
  --benchmark_out_format=json >/dev/null
if [ -n "$before" ]; then
  "$before" --benchmark_filter=BM_LayoutPages --benchmark_format=json --benchmark_out="$work/before.json" \
    --benchmark_out_format=json >/dev/null
else
  echo '{"benchmarks": []}' > "$work/before.json"
fi
node "$here/maxrects_packer_side.js" "$node_dir/node_modules" \
  "$work/rects_50.json" "$work/rects_500.json" "$work/rects_5000.json" > "$work/theirs.json"
python3 - "$work/ours.json" "$work/theirs.json" "$node_dir/node_modules/maxrects-packer/package.json" "$work/before.json" <<'PY'
import json, sys
ours = json.load(open(sys.argv[1]))["benchmarks"]
theirs = json.load(open(sys.argv[2]))
version = json.load(open(sys.argv[3]))["version"]
before = json.load(open(sys.argv[4]))["benchmarks"]
def find(runs, name, n, rot, pad):
    for b in runs:
        if b["name"].startswith(f"{name}/frames:{n}/rotation:{rot}/padding:{pad}"):
            return b
    return None
def gap(b):
    return "-" if b is None or "min_gap" not in b else f"{b['min_gap']:.0f}"
print(f"| frames | rotation | padding | layout ms | compile ms | pages | occupancy | smallest gap | "
      f"before: pages | before: occupancy | before: smallest gap | maxrects-packer {version} ms | its pages | its occupancy |")
print("|---:|:---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
for t in theirs:
    rot = 1 if t["rotation"] else 0
    pad = t["padding"]
    lay = find(ours, "BM_LayoutPages", t["frames"], rot, pad)
    comp = find(ours, "BM_CompileFrames", t["frames"], rot, pad)
    old = find(before, "BM_LayoutPages", t["frames"], rot, pad)
    old_pages = "-" if old is None else f"{int(old['pages'])}"
    old_occ = "-" if old is None else f"{old['occupancy']:.3f}"
    print(f"| {t['frames']} | {'on' if rot else 'off'} | {pad} | {lay['real_time']:.2f} | {comp['real_time']:.2f} | "
          f"{int(lay['pages'])} | {lay['occupancy']:.3f} | {gap(lay)} | {old_pages} | {old_occ} | {gap(old)} | "
          f"{t['ms']:.1f} | {t['pages']} | {t['occupancy']:.3f} |")
PY
