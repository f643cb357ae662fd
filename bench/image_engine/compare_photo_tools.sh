#!/bin/sh
# Times the photo tools against command-line peers on the same inputs, every run pinned to three
# cores and in its own process so that each peak resident size is its own. Usage:
#   bench/image_engine/compare_photo_tools.sh [path/to/bench_photo_tools]
# The peers are only referees here; this script installs their Debian packages:
#   enfuse          enfuse (exposure fusion)
#   python3-opencv  OpenCV's MergeMertens and warps, through Debian's /usr/bin/python3
#   hugin-tools     align_image_stack (alignment alone)
#   imagemagick     convert (-distort, -composite)
set -eu
BIN=${1:-build/bench/image_engine/bench_photo_tools}
PEERS="enfuse python3-opencv hugin-tools imagemagick"
missing=""
for p in $PEERS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing >/dev/null
fi
PY=/usr/bin/python3
CONVERT=/usr/bin/convert
PIN="taskset -c 0-2"
export OMP_NUM_THREADS=3
DIR=${MORVALE_BENCH_DIR:-$(mktemp -d)}
[ -n "${MORVALE_BENCH_DIR:-}" ] || trap 'rm -rf "$DIR"' EXIT
export MORVALE_BENCH_DIR="$DIR"
"$BIN" --make-inputs >/dev/null

# ours <benchmark name>: prints "<ms per iteration> <peak MB>"
ours() {
  /usr/bin/time -f '%M' -o "$DIR/rss" $PIN "$BIN" --benchmark_filter="^$1" --benchmark_format=csv 2>/dev/null \
    | awk -F, -v name="\"$1" 'index($1, name) == 1 { printf "%.0f", $3 }'
  printf ' %.0f\n' "$(awk '{ print $1 / 1024 }' "$DIR/rss")"
}
# tool <command...>: wall ms and peak MB of one run
tool() {
  /usr/bin/time -f '%e %M' -o "$DIR/tool" $PIN "$@" >/dev/null 2>&1
  awk '{ printf "%.0f %.0f\n", $1 * 1000, $2 / 1024 }' "$DIR/tool"
}

B="$DIR/bracket_0.jpg $DIR/bracket_m2.jpg $DIR/bracket_p2.jpg"
set -- $(ours BM_FuseBracket6000x4000); fuse_ms=$1; fuse_mb=$2
set -- $(tool enfuse --exposure-weight=1 --saturation-weight=1 --contrast-weight=1 -o "$DIR/enfuse_6000.tif" $B); enf_ms=$1; enf_mb=$2
cat > "$DIR/mertens.py" <<'EOF'
import sys, time, cv2, numpy as np
shots = [cv2.imread(p) for p in sys.argv[2:]]
start = time.monotonic()
fused = cv2.createMergeMertens(1.0, 1.0, 1.0).process(shots)
print(round((time.monotonic() - start) * 1000))
cv2.imwrite(sys.argv[1], np.clip(fused * 255 + 0.5, 0, 255).astype(np.uint8))
EOF
/usr/bin/time -f '%M' -o "$DIR/rss" $PIN $PY "$DIR/mertens.py" "$DIR/mertens_6000.png" $B > "$DIR/mertens_ms"
mer_ms=$(cat "$DIR/mertens_ms"); mer_mb=$(awk '{ printf "%.0f", $1 / 1024 }' "$DIR/rss")
set -- $(tool align_image_stack -a "$DIR/ais_" $B); ais_ms=$1; ais_mb=$2

# The 3000 x 2000 interior: detail kept in the window and agreement between the fusers.
enfuse --exposure-weight=1 --saturation-weight=1 --contrast-weight=1 -o "$DIR/interior_fused_enfuse.png" \
  "$DIR/interior_0.png" "$DIR/interior_m2.png" "$DIR/interior_p2.png" >/dev/null 2>&1
$PY "$DIR/mertens.py" "$DIR/interior_fused_mertens.png" "$DIR/interior_0.png" "$DIR/interior_m2.png" "$DIR/interior_p2.png" >/dev/null
$PY - "$DIR" > "$DIR/quality" <<'EOF'
import sys, cv2, numpy as np
d = sys.argv[1]
read = lambda n: cv2.imread(f"{d}/{n}", cv2.IMREAD_COLOR).astype(np.float64)
ours, enf, mer, dark = (read(n) for n in ("interior_fused_ours.png", "interior_fused_enfuse.png",
                                          "interior_fused_mertens.png", "interior_m2.png"))
h, w = dark.shape[:2]
win = (slice(h // 6 + 1, h // 2), slice(w // 8 + 1, w * 3 // 8))
sd = lambda img: img[win][:, :, 1].std()
psnr = lambda a, b: 10 * np.log10(255.0 ** 2 / np.mean((a - b) ** 2))
print(f"{sd(dark):.1f} {sd(ours):.1f} {sd(enf):.1f} {sd(mer):.1f} {psnr(ours, enf):.1f} {psnr(ours, mer):.1f}")
EOF
set -- $(cat "$DIR/quality"); sd_dark=$1; sd_ours=$2; sd_enf=$3; sd_mer=$4; psnr_enf=$5; psnr_mer=$6

set -- $(ours BM_Straighten24MP); str_ms=$1; str_mb=$2
cat > "$DIR/warps.py" <<'EOF'
import sys, time, math, cv2, numpy as np
img = cv2.imread(sys.argv[1], cv2.IMREAD_UNCHANGED)
img = cv2.cvtColor(img, cv2.COLOR_BGR2BGRA)
h, w = img.shape[:2]
rot = cv2.getRotationMatrix2D((w / 2, h / 2), 3.0, math.cos(math.radians(3)) + 1.5 * math.sin(math.radians(3)))
q = w / 2 * 0.95 / 1.05
persp = cv2.getPerspectiveTransform(np.float32([[0, 0], [w, 0], [0, h], [w, h]]),
                                    np.float32([[0, 0], [w, 0], [w / 2 - q, h], [w / 2 + q, h]]))
for flag in (cv2.INTER_LINEAR, cv2.INTER_CUBIC):
    best = 1e9
    for _ in range(3):
        start = time.monotonic()
        a = cv2.warpAffine(img, rot, (w, h), flags=flag, borderMode=cv2.BORDER_REPLICATE)
        cv2.warpPerspective(a, persp, (w, h), flags=flag, borderMode=cv2.BORDER_REPLICATE)
        best = min(best, time.monotonic() - start)
    print(round(best * 1000), end=" ")
print()
EOF
set -- $($PIN $PY "$DIR/warps.py" "$DIR/bracket_0.jpg"); cv_lin=$1; cv_cub=$2
set -- $(tool $CONVERT "$DIR/bracket_0.jpg" -quality 95 "$DIR/im_copy.jpg"); im_copy_ms=$1
set -- $(tool taskset -c 0 $CONVERT "$DIR/bracket_0.jpg" -virtual-pixel edge -distort SRT 3 \
  -distort Perspective "0,0 0,0 6000,0 6000,0 0,4000 285,4000 6000,4000 5715,4000" -quality 95 "$DIR/im_straight.jpg"); im_str_ms=$1

set -- $(ours BM_Watermark24MP); wm_ms=$1; wm_mb=$2
set -- $(tool $CONVERT "$DIR/bracket_0.jpg" \( "$DIR/logo.png" -resize 1080x -channel A -evaluate multiply 0.8 +channel \) \
  -gravity southeast -geometry +180+120 -composite -quality 95 "$DIR/im_watermark.jpg"); im_wm_ms=$1

printf '%-62s %9s %8s\n' "case (3 cores)" "wall ms" "peak MB"
printf '%-62s %9s %8s\n' "bracket 6000x4000 x3, decode + align + fuse, ours" "$fuse_ms" "$fuse_mb"
printf '%-62s %9s %8s\n' "  enfuse --exposure/saturation/contrast-weight=1 (no align)" "$enf_ms" "$enf_mb"
printf '%-62s %9s %8s\n' "  OpenCV MergeMertens(1,1,1), merge alone (python3-opencv)" "$mer_ms" "$mer_mb"
printf '%-62s %9s %8s\n' "  align_image_stack -a, alignment alone" "$ais_ms" "$ais_mb"
printf '%-62s %9s %8s\n' "straighten 24 MP (3° roll + keystone 0.05), ours one warp" "$str_ms" "$str_mb"
printf '%-62s %9s\n' "  OpenCV two warps, linear / cubic" "$cv_lin / $cv_cub"
printf '%-62s %9s\n' "  convert -distort SRT + Perspective, 1 core, with decode/encode" "$im_str_ms"
printf '%-62s %9s\n' "  convert decode + encode alone" "$im_copy_ms"
printf '%-62s %9s %8s\n' "watermark 24 MP, ours" "$wm_ms" "$wm_mb"
printf '%-62s %9s\n' "  convert -composite with decode/encode" "$im_wm_ms"
echo "interior 3000x2000 window deviation: EV-2 $sd_dark, ours $sd_ours, enfuse $sd_enf, MergeMertens $sd_mer"
echo "interior PSNR ours vs enfuse $psnr_enf dB, vs MergeMertens $psnr_mer dB"
awk -v f="$fuse_ms" -v fm="$fuse_mb" -v e="$enf_ms" -v em="$enf_mb" -v m="$mer_ms" -v mm="$mer_mb" -v a="$ais_ms" \
    -v s="$str_ms" -v cl="$cv_lin" -v cc="$cv_cub" -v is="$im_str_ms" -v w="$wm_ms" -v iw="$im_wm_ms" -v ic="$im_copy_ms" 'BEGIN {
  printf "ratios: fuse/enfuse %.2f time %.2f memory; fuse/MergeMertens %.2f time %.2f memory; fuse/align_image_stack %.2f\n", f / e, fm / em, f / m, fm / mm, f / a
  printf "ratios: straighten/OpenCV linear %.2f, /cubic %.2f, /convert %.3f\n", s / cl, s / cc, s / is
  printf "ratios: watermark/(convert composite - convert copy) %.2f\n", w / (iw - ic)
}'
