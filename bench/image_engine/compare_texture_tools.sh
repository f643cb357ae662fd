#!/bin/sh
# Times the texture tools against the command-line resizers on the same inputs, one process per
# case so that each peak resident size is its own. Usage:
#   bench/image_engine/compare_texture_tools.sh [path/to/bench_texture_tools]
# Needs oiiotool (openimageio-tools) and ImageMagick's convert (Debian package imagemagick); they
# are only referees here.
set -eu
BIN=${1:-build-img1/bench/image_engine/bench_texture_tools}
CONVERT=/usr/bin/convert
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
export MORVALE_BENCH_DIR="$DIR"

# Makes the inputs (8192² TIFF, four 4096² PNG maps) without timing anything.
"$BIN" --benchmark_filter='^none$' >/dev/null 2>&1 || true

# ours <benchmark name>: prints "<ms per iteration> <peak MB>"
ours() {
  /usr/bin/time -f '%M' -o "$DIR/rss" "$BIN" --benchmark_filter="^$1/" --benchmark_format=csv 2>/dev/null \
    | awk -F, -v name="\"$1/min_time:2.000/real_time\"" '$1 == name { printf "%.0f", $3 }'
  printf ' %.0f\n' "$(awk '{ print $1 / 1024 }' "$DIR/rss")"
}

# tool <command...>: best wall time of three runs in ms, and the peak MB of the last
tool() {
  best=''
  for run in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$DIR/tool" "$@" >/dev/null 2>&1
    wall=$(awk '{ printf "%.0f", $1 * 1000 }' "$DIR/tool")
    if [ -z "$best" ] || [ "$wall" -lt "$best" ]; then best=$wall; fi
  done
  printf '%s %.0f\n' "$best" "$(awk '{ print $2 / 1024 }' "$DIR/tool")"
}

set -- $(ours BM_Lanczos8192To4096InMemory); mem_ms=$1; mem_mb=$2
set -- $(ours BM_Lanczos8192To4096FileToFile); f2f_ms=$1; f2f_mb=$2
set -- $(tool oiiotool "$DIR/source_8192.tif" --resize:filter=lanczos3 4096x4096 -o "$DIR/oiiotool_4096.tif"); oiio_ms=$1; oiio_mb=$2
set -- $(tool "$CONVERT" "$DIR/source_8192.tif" -filter Lanczos -resize 4096x4096 -compress zip "$DIR/convert_4096.tif"); im_ms=$1; im_mb=$2
set -- $(ours BM_PackFourMaps4096); pack_ms=$1; pack_mb=$2
set -- $(ours BM_PackFourMaps4096AndWritePNG); packpng_ms=$1; packpng_mb=$2
set -- $(ours BM_MipChainFrom4096); mip_ms=$1; mip_mb=$2

printf '%-52s %10s %9s\n' "case" "wall ms" "peak MB"
printf '%-52s %10s %9s\n' "Lanczos 8192²→4096², ours in memory" "$mem_ms" "$mem_mb"
printf '%-52s %10s %9s\n' "Lanczos 8192²→4096², ours TIFF→TIFF" "$f2f_ms" "$f2f_mb"
printf '%-52s %10s %9s\n' "Lanczos 8192²→4096², oiiotool lanczos3 TIFF→TIFF" "$oiio_ms" "$oiio_mb"
printf '%-52s %10s %9s\n' "Lanczos 8192²→4096², convert -filter Lanczos" "$im_ms" "$im_mb"
printf '%-52s %10s %9s\n' "pack four 4096² PNG maps (decode + pack)" "$pack_ms" "$pack_mb"
printf '%-52s %10s %9s\n' "pack four 4096² PNG maps + write packed PNG" "$packpng_ms" "$packpng_mb"
printf '%-52s %10s %9s\n' "mip chain from 4096² down to 1×1" "$mip_ms" "$mip_mb"
awk -v a="$f2f_ms" -v b="$oiio_ms" -v c="$im_ms" -v am="$f2f_mb" -v bm="$oiio_mb" -v cm="$im_mb" 'BEGIN {
  printf "ratios, ours TIFF→TIFF : oiiotool = %.2f (time), %.2f (peak memory)\n", a / b, am / bm
  printf "ratios, ours TIFF→TIFF : convert  = %.2f (time), %.2f (peak memory)\n", a / c, am / cm
}'
