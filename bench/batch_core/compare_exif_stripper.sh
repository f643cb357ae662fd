#!/bin/sh
# Strips the location from 300 copies of a 4000×3000, ~5.5 MB tagged JPEG with our stripper (3
# threads, and 1 for reference) and with exiftool and the exiv2 command-line tool, all under
# taskset -c 0-2, once in tmpfs and once on disk; prints files/s, peak resident size and ratios.
# Usage:
#   bench/batch_core/compare_exif_stripper.sh [path/to/exif_stripper_driver]
# exiftool (libimage-exiftool-perl) comes with the test oracles; the exiv2 command-line tool is only
# a referee here and is installed by this script.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BIN=${1:-$ROOT/build/bench/batch_core/exif_stripper_driver}
COUNT=${COUNT:-300}
if ! command -v exiv2 >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends exiv2 >/dev/null
fi

WORK_TMPFS=$(mktemp -d /dev/shm/morvale-strip-XXXXXX)
WORK_DISK=$(mktemp -d /var/tmp/morvale-strip-XXXXXX)
trap 'rm -rf "$WORK_TMPFS" "$WORK_DISK"' EXIT

# The photo the tests use, noisier so that it weighs what a camera's does.
/usr/bin/python3 "$ROOT/tests/batch_core/tagged_photo.py" jpeg "$WORK_DISK/photo.jpg" 4000 3000 92 70
SIZE=$(stat -c %s "$WORK_DISK/photo.jpg")
printf 'del Exif.GPSInfo.GPSVersionID\ndel Exif.GPSInfo.GPSLatitudeRef\ndel Exif.GPSInfo.GPSLatitude\ndel Exif.GPSInfo.GPSLongitudeRef\ndel Exif.GPSInfo.GPSLongitude\ndel Exif.Image.GPSTag\ndel Xmp.exif.GPSLatitude\ndel Xmp.exif.GPSLongitude\n' >"$WORK_DISK/cmds"

# fill DIR: COUNT fresh copies, written out before timing starts
fill() {
  rm -rf "$1/set"; mkdir "$1/set"
  i=0
  while [ "$i" -lt "$COUNT" ]; do cp "$WORK_DISK/photo.jpg" "$1/set/p$i.jpg"; i=$((i + 1)); done
  sync
}

# measure NAME DIR COMMAND...: prints "NAME seconds peakKB [driver's residentKB workPeakKB]" and
# checks that the location is gone
measure() {
  name=$1; dir=$2; shift 2
  fill "$dir"
  /usr/bin/time -f '%e %M' -o "$WORK_DISK/time" taskset -c 0-2 "$@" >"$WORK_DISK/out"
  left=$(exiftool -q -q -gps:all -xmp-exif:gps* "$dir/set/p0.jpg" "$dir/set/p$((COUNT - 1)).jpg" | wc -l)
  if [ "$left" -ne 0 ]; then echo "$name left location data behind" >&2; exit 1; fi
  echo "$name $(cat "$WORK_DISK/time") $(awk '{ print $3, $4 }' "$WORK_DISK/out")"
}

run_all() {
  where=$1; dir=$2
  # the process with no file at all: what loading the libraries costs
  mkdir -p "$dir/none"
  /usr/bin/time -f '%e %M' -o "$WORK_DISK/time" taskset -c 0-2 "$BIN" "$dir/none" 1 >/dev/null
  echo "load $(cat "$WORK_DISK/time")"
  measure ours3 "$dir" "$BIN" "$dir/set" 3
  measure ours1 "$dir" "$BIN" "$dir/set" 1
  measure exiftool "$dir" exiftool -q -overwrite_original -gps:all= '-xmp:gps*=' "$dir/set"
  measure exiv2 "$dir" sh -c 'exiv2 -m "$0" "$1"/*.jpg' "$WORK_DISK/cmds" "$dir/set"
}

for where in tmpfs disk; do
  if [ "$where" = tmpfs ]; then dir=$WORK_TMPFS; else dir=$WORK_DISK; fi
  run_all "$where" "$dir" >"$WORK_DISK/$where.txt"
  rm -rf "$dir/set"
  awk -v where="$where" -v count="$COUNT" -v size="$SIZE" '
    { secs[$1] = $2; peak[$1] = $3 / 1024; work[$1] = ($5 - $4) / 1024 }
    END {
      printf "%s, %d files of %.1f MB, taskset -c 0-2\n", where, count, size / 1048576
      printf "  %-24s %9s %9s %9s\n", "tool", "seconds", "files/s", "peak MB"
      n = split("ours3 ours1 exiftool exiv2", order, " ")
      label["ours3"] = "ours, 3 threads"; label["ours1"] = "ours, 1 thread"
      label["exiftool"] = "exiftool"; label["exiv2"] = "exiv2 -m cmds"
      for (i = 1; i <= n; i++) { t = order[i]; printf "  %-24s %9.2f %9.0f %9.1f\n", label[t], secs[t], count / secs[t], peak[t] }
      printf "  ratios ours(3 threads) : exiftool = %.2f files/s, %.2f peak memory\n", secs["exiftool"] / secs["ours3"], peak["ours3"] / peak["exiftool"]
      printf "  ratios ours(3 threads) : exiv2    = %.2f files/s, %.2f peak memory\n", secs["exiv2"] / secs["ours3"], peak["ours3"] / peak["exiv2"]
      printf "  ours with no file: %.2f s, %.1f MB (loading the libraries, OpenImageIO above all)\n", secs["load"], peak["load"]
      printf "  ours, the work'"'"'s own peak above the loaded libraries: %.1f MB = %.1f file sizes per thread (3 threads); %.1f MB = %.1f (1 thread)\n", work["ours3"], work["ours3"] * 1048576 / size / 3, work["ours1"], work["ours1"] * 1048576 / size
    }' "$WORK_DISK/$where.txt"
done
