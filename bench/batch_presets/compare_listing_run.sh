#!/bin/sh
# Times a listing shoot (twelve 6000 x 4000 JPEGs with GPS and XMP GPS; Zillow web set, straighten,
# a 1000 x 500 logo, GPS removal, print and web packages) through our batch queue three items at a
# time, beside the same work done per photo by ImageMagick and exiftool under xargs -P3. Everything
# is pinned to three cores; each run is its own process so that its peak resident size is its own.
#   bench/batch_presets/compare_listing_run.sh [path/to/bench_listing_run]
# The peers are only referees; this script installs their Debian packages:
#   imagemagick             convert (distort, composite, crop, resize, jpeg:extent)
#   libimage-exiftool-perl  exiftool (tags the inputs, removes GPS and metadata for the peer)
set -eu
BIN=${1:-build/bench/batch_presets/bench_listing_run}
PEERS="imagemagick libimage-exiftool-perl"
missing=""
for p in $PEERS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing >/dev/null
fi
PIN="taskset -c 0-2"
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

# The peer, one photo: straighten (roll and keystone), logo, print at 98; strip GPS; centre 4:3,
# 2048 px, under 2000 KB; strip everything.
cat > "$DIR/peer_one.sh" <<'EOF'
#!/bin/sh
set -e
in=$1; out=$2; logo=$3
name=$(basename "$in" .jpg)
/usr/bin/convert "$in" -distort SRT -1.5 \
  -distort Perspective '0,0 60,0  6000,0 5940,0  0,4000 0,4000  6000,4000 6000,4000' \
  "$logo" -gravity southeast -geometry +180+120 -composite -quality 98 "$out/Print_Package/${name}_Print.jpg"
exiftool -q -q -overwrite_original -gps:all= '-xmp:gps*=' "$out/Print_Package/${name}_Print.jpg"
/usr/bin/convert "$out/Print_Package/${name}_Print.jpg" -gravity center -crop 4:3 +repage -resize 2048x2048 \
  -define jpeg:extent=2000kb "$out/Zillow_Package/${name}_Web.jpg"
exiftool -q -q -overwrite_original -all= "$out/Zillow_Package/${name}_Web.jpg"
EOF
chmod +x "$DIR/peer_one.sh"
peer() {
  rm -rf "$DIR/peer-out"; mkdir -p "$DIR/peer-out/Print_Package" "$DIR/peer-out/Zillow_Package"
  /usr/bin/time -f '%e %P' -o "$DIR/peer_time" $PIN sh -c \
    "ls '$DIR'/singles/shot_*.jpg | xargs -P3 -I{} /usr/bin/time -a -o '$DIR/peer_rss' -f '%M' '$DIR/peer_one.sh' {} '$DIR/peer-out' '$DIR/logo.png'"
}
: > "$DIR/peer_rss"
peer
peer_s=$(awk '{ print $1 }' "$DIR/peer_time"); peer_cpu=$(awk '{ print $2 }' "$DIR/peer_time")
peer_mb=$(awk 'BEGIN { m = 0 } { if ($1 > m) m = $1 } END { printf "%.0f", m / 1024 }' "$DIR/peer_rss")
set -- $(ours singles); ours_ms=$1; ours_mb=$2
set -- $(ours brackets); br_ms=$1; br_mb=$2

# Checks on what we wrote: no location left, web files under the cap.
gps_left=$(exiftool -q -q -r -gps:all -xmp-exif:gps* "$DIR/out-singles" | wc -l)
web_max_kb=$(du -k "$DIR"/out-singles/Zillow_Package/*.jpg | sort -n | tail -1 | cut -f1)

printf '\nListing run, 12 x 6000x4000 JPEG (%s MB on average), Zillow, straighten, logo, GPS removal, both packages; 3 cores\n' "$input_mb"
printf '%-44s %9s %9s %8s\n' "" "seconds" "peak MB" "ratio"
printf '%-44s %9.1f %9s %8s\n' "ours, 12 photos (3 at a time)" "$(echo "$ours_ms / 1000" | bc -l)" "$ours_mb" "1.00"
printf '%-44s %9.1f %9s %8.2f\n' "ImageMagick + exiftool, xargs -P3 ($peer_cpu CPU)" "$peer_s" "$peer_mb" \
  "$(echo "$peer_s * 1000 / $ours_ms" | bc -l)"
printf '%-44s %9.1f %9s\n' "ours, the 12 as four 3-shot brackets" "$(echo "$br_ms / 1000" | bc -l)" "$br_mb"
printf 'peer time / ours = %.2f; GPS lines left in our outputs: %s; largest web file: %s KB\n' \
  "$(echo "$peer_s * 1000 / $ours_ms" | bc -l)" "$gps_left" "$web_max_kb"
