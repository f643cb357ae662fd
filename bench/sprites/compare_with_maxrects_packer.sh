#!/bin/sh
# Runs the sheet benchmark and the npm package maxrects-packer on the same rectangles and
# prints one table. Usage: compare_with_maxrects_packer.sh <path to bench_sprite_packing>
set -eu
bench=${1:?path to bench_sprite_packing}
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
node "$here/maxrects_packer_side.js" "$node_dir/node_modules" \
  "$work/rects_50.json" "$work/rects_500.json" "$work/rects_5000.json" > "$work/theirs.json"
python3 - "$work/ours.json" "$work/theirs.json" "$node_dir/node_modules/maxrects-packer/package.json" <<'PY'
import json, sys
ours = json.load(open(sys.argv[1]))["benchmarks"]
theirs = json.load(open(sys.argv[2]))
version = json.load(open(sys.argv[3]))["version"]
def find(name, n, rot):
    for b in ours:
        if b["name"].startswith(f"{name}/frames:{n}/rotation:{rot}"):
            return b
print(f"| frames | rotation | layout ms | compile ms | pages | occupancy | maxrects-packer {version} ms | its pages | its occupancy |")
print("|---:|:---:|---:|---:|---:|---:|---:|---:|---:|")
for t in theirs:
    rot = 1 if t["rotation"] else 0
    lay = find("BM_LayoutPages", t["frames"], rot)
    comp = find("BM_CompileFrames", t["frames"], rot)
    print(f"| {t['frames']} | {'on' if rot else 'off'} | {lay['real_time']:.2f} | {comp['real_time']:.2f} | "
          f"{int(lay['pages'])} | {lay['occupancy']:.3f} | {t['ms']:.1f} | {t['pages']} | {t['occupancy']:.3f} |")
PY
