#!/bin/sh
# Times a listing shoot (twelve 6000 x 4000 JPEGs with GPS and XMP GPS; Zillow web set, straighten,
# a 1000 x 500 logo, GPS removal, print and web packages) through our batch queue four items at a
# time, beside the same work done by ImageMagick (xargs -P4) and exiftool. Everything is pinned to
# four cores and runs at low priority; each run is its own process so that its peak resident size is
# its own. Then the web step's quality (PSNR of both against OpenImageIO's float Lanczos-3 resize of
# the same crop) and a per-stage profile of ours on one photo.
#   bench/batch_presets/compare_listing_run.sh [path/to/bench_listing_run]
# The peers are only referees; this script installs their Debian packages:
#   imagemagick             convert (distort, composite, crop, resize), compare (PSNR)
#   libimage-exiftool-perl  exiftool (tags the inputs, removes GPS and metadata for the peer)
#   openimageio-tools       oiiotool (the reference resize)
set -eu
BIN=${1:-build/bench/batch_presets/bench_listing_run}
PEERS="imagemagick libimage-exiftool-perl openimageio-tools"
missing=""
for p in $PEERS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing >/dev/null
fi
PIN="nice -n 10 taskset -c 0-3"
DIR=${MORVALE_BENCH_DIR:-$(mktemp -d)}
[ -n "${MORVALE_BENCH_DIR:-}" ] || trap 'rm -rf "$DIR"' EXIT
export MORVALE_BENCH_DIR="$DIR"

# Inputs: the same pixels twice, tagged as twelve separate shots a minute apart and as four
# -2 / 0 / +2 EV brackets shot a second apart.
"$BIN" --make-inputs "$DIR/raw" >/dev/null
cp "$DIR/raw/logo.png" "$DIR/logo.png"
GPS="-GPSLatitude=48.8584 -GPSLatitudeRef=N -GPSLongitude=2.2945 -GPSLongitudeRef=E"
XMPGPS="-XMP-exif:GPSLatitude=48.8584 N"
for set in singles brackets; do
  mkdir -p "$DIR/$set"
  cp "$DIR"/raw/shot_*.jpg "$DIR/$set/"
  n=0
  for f in "$DIR/$set"/shot_*.jpg; do
    if [ "$set" = singles ]; then
      when=$(printf '2024:05:06 10:%02d:00' "$n"); exposure=0.01
    else
      when=$(printf '2024:05:06 10:%02d:%02d' "$((n / 3))" "$((n % 3))")
      case $((n % 3)) in 0) exposure=0.01;; 1) exposure=0.0025;; *) exposure=0.04;; esac
    fi
    exiftool -q -q -overwrite_original -Make=Kadrel "-Model=Halden K7" "-DateTimeOriginal=$when" \
      -ExposureTime=$exposure -FNumber=8 -ISO=100 $GPS "$XMPGPS" "-XMP-exif:GPSLongitude=2.2945 E" "$f"
    n=$((n + 1))
  done
done
input_mb=$(cat "$DIR"/singles/shot_*.jpg | wc -c | awk '{ printf "%.1f", $1 / 12 / 1048576 }')

# ours <benchmark name>: prints "<ms> <peak MB>"
ours() {
  /usr/bin/time -f '%M' -o "$DIR/rss" $PIN "$BIN" --benchmark_filter="^BM_ListingRun/$1/" --benchmark_format=csv 2>/dev/null \
    | awk -F, -v name="\"BM_ListingRun/$1" 'index($1, name) == 1 { printf "%.0f", $3 }'
  printf ' %.0f\n' "$(awk '{ print $1 / 1024 }' "$DIR/rss")"
}

# The peer does the work ours does, and no more: per photo one decode, one perspective warp for roll
# and keystone together (bilinear, as ours), the logo at 0.18 of each frame's width, 0.85 opaque,
# 0.03 in from the corner; the print at quality 98; the web frame cut (4:3) before its own logo,
# one Lanczos resize to 2048 and one encode at 85 (the preset's first quality, which fits the cap:
# no search). Then exiftool removes GPS from the prints and all metadata from the web files, one
# process for each set.
# The warp's control points: the corners turned back by the 1.5 degree roll go where the keystone
# (60 px in at the top) puts the corners.
CP=$(awk 'BEGIN { a = 1.5 * atan2(0, -1) / 180; cx = 3000; cy = 2000;
  n = split("0 0 6000 0 0 4000 6000 4000", c, " "); split("60 0 5940 0 0 4000 6000 4000", d, " ");
  for (i = 1; i < n; i += 2) { dx = c[i] - cx; dy = c[i + 1] - cy;
    printf "%.2f,%.2f %s,%s ", cx + dx * cos(a) - dy * sin(a), cy + dx * sin(a) + dy * cos(a), d[i], d[i + 1] } }')
{
  echo '#!/bin/sh'
  echo 'set -e'
  echo 'in=$1; out=$2; logo=$3; name=$(basename "$in" .jpg)'
  echo "/usr/bin/convert \"\$in\" -virtual-pixel edge -filter Point -interpolate Bilinear -distort Perspective '$CP' \\"
  cat <<'PEER'
  -write mpr:frame +delete \
  mpr:frame \( "$logo" -filter Lanczos -resize 1080x -channel A -evaluate multiply 0.85 +channel \) \
    -gravity southeast -geometry +180+120 -composite -quality 98 -write "$out/Print_Package/${name}_Print.jpg" +delete \
  mpr:frame -gravity northwest -crop 5333x4000+334+0 +repage \
    \( "$logo" -filter Lanczos -resize 960x -channel A -evaluate multiply 0.85 +channel \) \
    -gravity southeast -geometry +160+120 -composite -filter Lanczos -resize 2048x2048 -quality 85 \
    "$out/Zillow_Package/${name}_Web.jpg"
PEER
} > "$DIR/peer_one.sh"
chmod +x "$DIR/peer_one.sh"
peer() {
  rm -rf "$DIR/peer-out"; mkdir -p "$DIR/peer-out/Print_Package" "$DIR/peer-out/Zillow_Package"
  /usr/bin/time -f '%e %P' -o "$DIR/peer_time" $PIN sh -c \
    "ls '$DIR'/singles/shot_*.jpg | xargs -P4 -I{} /usr/bin/time -a -o '$DIR/peer_rss' -f '%M' '$DIR/peer_one.sh' {} '$DIR/peer-out' '$DIR/logo.png' &&
     exiftool -q -q -overwrite_original -gps:all= '-xmp:gps*=' '$DIR/peer-out/Print_Package' &&
     exiftool -q -q -overwrite_original -all= '$DIR/peer-out/Zillow_Package'"
}
: > "$DIR/peer_rss"
peer
peer_s=$(awk '{ print $1 }' "$DIR/peer_time"); peer_cpu=$(awk '{ print $2 }' "$DIR/peer_time")
peer_mb=$(awk 'BEGIN { m = 0 } { if ($1 > m) m = $1 } END { printf "%.0f", m / 1024 }' "$DIR/peer_rss")
set -- $(ours singles); ours_ms=$1; ours_mb=$2
set -- $(ours brackets); br_ms=$1; br_mb=$2

# The web step's pixels: the same 5333 x 4000 crop of shot 1 to 2048 x 1536 at quality 85, by
# both, against OpenImageIO's Lanczos-3 resize of it in float.
one="$DIR/singles/shot_01.jpg"
$PIN "$BIN" --web "$one" "$DIR/q_ours.jpg"
$PIN /usr/bin/convert "$one" -crop 5333x4000+334+0 +repage -filter Lanczos -resize 2048x2048 -quality 85 "$DIR/q_peer.jpg"
$PIN oiiotool "$one" --cut 5333x4000+334+0 --resize:filter=lanczos3 2048x1536 -d uint8 -o "$DIR/q_ref.png"
psnr() { /usr/bin/compare -metric PSNR "$1" "$DIR/q_ref.png" null: 2>&1 || true; }
ours_psnr=$(psnr "$DIR/q_ours.jpg"); peer_psnr=$(psnr "$DIR/q_peer.jpg")
ours_kb=$(du -k "$DIR/q_ours.jpg" | cut -f1); peer_kb=$(du -k "$DIR/q_peer.jpg" | cut -f1)

# Checks on what both wrote: no location left, web files under the cap.
gps_left=$(exiftool -q -q -r -gps:all -xmp-exif:gps* "$DIR/out-singles" "$DIR/peer-out" | wc -l)
web_max_kb=$(du -k "$DIR"/out-singles/Zillow_Package/*.jpg | sort -n | tail -1 | cut -f1)

printf '\nListing run, 12 x 6000x4000 JPEG (%s MB on average), Zillow, straighten, logo, GPS removal, both packages; 4 cores\n' "$input_mb"
printf '%-44s %9s %9s %8s\n' "" "seconds" "peak MB" "ratio"
printf '%-44s %9.1f %9s %8s\n' "ours, 12 photos (4 at a time)" "$(echo "$ours_ms / 1000" | bc -l)" "$ours_mb" "1.00"
printf '%-44s %9.1f %9s %8.2f\n' "ImageMagick -P4 + exiftool ($peer_cpu CPU)" "$peer_s" "$peer_mb" \
  "$(echo "$peer_s * 1000 / $ours_ms" | bc -l)"
printf '%-44s %9.1f %9s\n' "ours, the 12 as four 3-shot brackets" "$(echo "$br_ms / 1000" | bc -l)" "$br_mb"
printf 'peer time / ours = %.2f; GPS lines left in either side'"'"'s outputs: %s; largest web file: %s KB\n' \
  "$(echo "$peer_s * 1000 / $ours_ms" | bc -l)" "$gps_left" "$web_max_kb"
printf 'web step PSNR against a float Lanczos-3 reference: ours %s dB (%s KB), ImageMagick %s dB (%s KB)\n' \
  "$ours_psnr" "$ours_kb" "$peer_psnr" "$peer_kb"
printf '\nOurs, one photo, stage by stage (ms):\n'
$PIN "$BIN" --profile "$one" "$DIR/logo.png"
