#!/bin/sh
# Strips the location from 300 real camera and phone JPEGs (the stripper tests' fixture set, copied
# round: Nikon, Apple, HTC and constructed files hiding a location in extended XMP, a second EXIF
# segment, a thumbnail, an appended image) with our stripper (3 threads, and 1 for reference) and
# with exiftool and the exiv2 command-line tool, all under taskset -c 0-2, once in tmpfs and once on
# disk; prints files/s, peak resident size, ratios, and how many files each tool left located.
# Usage:
#   [COUNT=300] [SET=camera|large] bench/batch_core/compare_exif_stripper.sh [path/to/exif_stripper_driver]
# exiftool (libimage-exiftool-perl) and exiv2 come with the test oracles (scripts/install-deps).
# exiv2's leg deletes every GPS key any of the files holds (exiv2 has no wildcard), listed before
# timing starts, so that both sides do the same work.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BIN=${1:-$ROOT/build/bench/batch_core/exif_stripper_driver}
COUNT=${COUNT:-300}

WORK_TMPFS=$(mktemp -d /dev/shm/morvale-strip-XXXXXX)
WORK_DISK=$(mktemp -d /var/tmp/morvale-strip-XXXXXX)
trap 'rm -rf "$WORK_TMPFS" "$WORK_DISK"' EXIT

if [ "${SET:-camera}" = large ]; then
  # SET=large: one 4000x3000, ~5.5 MB tagged photo instead, where each file's own memory shows.
  mkdir "$WORK_DISK/fixtures"
  /usr/bin/python3 "$ROOT/tests/batch_core/tagged_photo.py" jpeg "$WORK_DISK/fixtures/photo.jpg" 4000 3000 92 70
else
  /usr/bin/python3 "$ROOT/tests/batch_core/make_location_fixtures.py" "$WORK_DISK/fixtures" >/dev/null
fi
set -- "$WORK_DISK"/fixtures/*.jpg
FIXTURES=$#
SIZE=$(cat "$WORK_DISK"/fixtures/*.jpg | wc -c)
SIZE=$((SIZE / FIXTURES))
# Every GPS key exiv2 sees in any of the files, each deleted (with two files or more exiv2 starts
# each line with the file name).
exiv2 -q -pa "$WORK_DISK"/fixtures/*.jpg /dev/null 2>/dev/null | awk '{ print $2 }' | grep -i gps | sort -u |
  sed 's/^/del /' >"$WORK_DISK/cmds"

# fill DIR: COUNT fresh copies of the fixtures, taken round, written out before timing starts
fill() {
  rm -rf "$1/set"; mkdir "$1/set"
  i=0
  while [ "$i" -lt "$COUNT" ]; do
    for photo in "$WORK_DISK"/fixtures/*.jpg; do
      [ "$i" -lt "$COUNT" ] || break
      cp "$photo" "$1/set/p$i-$(basename "$photo")"; i=$((i + 1))
    done
  done
  sync
}

# measure NAME DIR COMMAND...: prints "NAME seconds peakKB located [driver's residentKB workPeakKB]",
# where located counts the files in which exiftool still finds a location
measure() {
  name=$1; dir=$2; shift 2
  fill "$dir"
  /usr/bin/time -f '%e %M' -o "$WORK_DISK/time" taskset -c 0-2 "$@" >"$WORK_DISK/out" 2>/dev/null || true
  left=$(exiftool -q -q -m -if '$GPSLatitude or $GPSLongitude or $GPSAltitude or $GPSDateStamp' -p '$filename' "$dir/set" 2>/dev/null | wc -l)
  echo "$name $(cat "$WORK_DISK/time") $left $(awk '{ print $3, $4 }' "$WORK_DISK/out")"
}

run_all() {
  where=$1; dir=$2
  # the process with no file at all: what loading the libraries costs
  mkdir -p "$dir/none"
  /usr/bin/time -f '%e %M' -o "$WORK_DISK/time" taskset -c 0-2 "$BIN" "$dir/none" 1 >/dev/null
  echo "load $(cat "$WORK_DISK/time")"
  measure ours3 "$dir" "$BIN" "$dir/set" 3
  measure ours1 "$dir" "$BIN" "$dir/set" 1
  measure exiftool "$dir" exiftool -q -m -overwrite_original -gps:all= '-xmp:gps*=' "$dir/set"
  measure exiv2 "$dir" sh -c 'exiv2 -m "$0" "$1"/*.jpg' "$WORK_DISK/cmds" "$dir/set"
}

for where in tmpfs disk; do
  if [ "$where" = tmpfs ]; then dir=$WORK_TMPFS; else dir=$WORK_DISK; fi
  run_all "$where" "$dir" >"$WORK_DISK/$where.txt"
  rm -rf "$dir/set"
  awk -v where="$where" -v count="$COUNT" -v size="$SIZE" '
    { secs[$1] = $2; peak[$1] = $3 / 1024; left[$1] = $4; work[$1] = ($6 - $5) / 1024 }
    END {
      printf "%s, %d JPEGs of %.0f KB on average, taskset -c 0-2\n", where, count, size / 1024
      printf "  %-24s %9s %9s %9s %12s\n", "tool", "seconds", "files/s", "peak MB", "left located"
      n = split("ours3 ours1 exiftool exiv2", order, " ")
      label["ours3"] = "ours, 3 threads"; label["ours1"] = "ours, 1 thread"
      label["exiftool"] = "exiftool"; label["exiv2"] = "exiv2 -m cmds"
      for (i = 1; i <= n; i++) { t = order[i]; printf "  %-24s %9.2f %9.0f %9.1f %12d\n", label[t], secs[t], count / secs[t], peak[t], left[t] }
      printf "  ratios ours(3 threads) : exiftool = %.2f files/s, %.2f peak memory\n", secs["exiftool"] / secs["ours3"], peak["ours3"] / peak["exiftool"]
      printf "  ratios ours(3 threads) : exiv2    = %.2f files/s, %.2f peak memory\n", secs["exiv2"] / secs["ours3"], peak["ours3"] / peak["exiv2"]
      printf "  ours with no file: %.2f s, %.1f MB (loading the libraries)\n", secs["load"], peak["load"]
      printf "  ours, the work'"'"'s own peak above the loaded libraries: %.1f MB = %.1f file sizes per thread (3 threads); %.1f MB = %.1f (1 thread)\n", work["ours3"], work["ours3"] * 1048576 / size / 3, work["ours1"], work["ours1"] * 1048576 / size
    }' "$WORK_DISK/$where.txt"
done
