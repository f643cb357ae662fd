#!/usr/bin/env bash
# Makes the seed inputs of the fuzz targets that read files, from tiny generated files, into
# tests/fuzz/corpus/<target>/. Run it again after changing the list below; the seeds are committed.
# Needs oiiotool, ffmpeg and python3 (scripts/install-deps installs them).
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A seed is one byte that picks the file's extension (its index in the target's list), then the file.
seed() {  # seed <corpus folder> <index> <file>
  mkdir -p "$1"
  { printf "\\$(printf '%03o' "$2")"; cat "$3"; } >"$1/$(basename "$3")"
}

images=corpus/image_loader_fuzz
rm -rf "$images"
# Index order as in image_loader_fuzz.cpp: png tga tif tiff jpg jpeg exr bmp psd.
oiiotool --pattern checker:width=2:height=2:color1=1,0,0,1:color2=0,0,1,0.5 6x5 4 -o "$work/rgba.png"
oiiotool --pattern constant:color=0.5 8x8 1 -d uint16 -o "$work/grey16.png"
oiiotool "$work/rgba.png" --attrib compression rle -o "$work/rle.tga"
oiiotool "$work/rgba.png" --ch R,G,B -o "$work/rgb.tga"
oiiotool "$work/rgba.png" --attrib compression lzw -o "$work/lzw.tif"
oiiotool "$work/grey16.png" --attrib compression zip -o "$work/zip.tiff"
oiiotool "$work/rgba.png" --ch R,G,B --attrib Orientation 6 -o "$work/rotated.jpg"
oiiotool "$work/rgba.png" --ch R,G,B --attrib jpeg:progressive 1 -o "$work/progressive.jpeg"
oiiotool "$work/rgba.png" -d half --attrib compression piz -o "$work/piz.exr"
oiiotool "$work/rgba.png" -d half --tile 4 4 --attrib compression zip -o "$work/tiled.exr"
oiiotool "$work/rgba.png" --ch R,G,B -o "$work/rgb.bmp"
# Photoshop: no encoder at hand, so a minimal RLE-compressed 4x3 RGB file by hand.
python3 - "$work/rle.psd" <<'PY'
import struct, sys
w, h, channels = 4, 3, 3
rows = b"".join(bytes([0x83, 0x40 + c * 0x30]) for c in range(channels) for _ in range(h))  # 4 equal bytes per row
head = b"8BPS" + struct.pack(">H6xHIIHH", 1, channels, h, w, 8, 3)
counts = struct.pack(">" + "H" * (channels * h), *([2] * (channels * h)))
open(sys.argv[1], "wb").write(head + struct.pack(">III", 0, 0, 0) + struct.pack(">H", 1) + counts + rows)
PY
seed "$images" 0 "$work/rgba.png"; seed "$images" 0 "$work/grey16.png"
seed "$images" 1 "$work/rle.tga"; seed "$images" 1 "$work/rgb.tga"
seed "$images" 2 "$work/lzw.tif"; seed "$images" 3 "$work/zip.tiff"
seed "$images" 4 "$work/rotated.jpg"; seed "$images" 5 "$work/progressive.jpeg"
seed "$images" 6 "$work/piz.exr"; seed "$images" 6 "$work/tiled.exr"
seed "$images" 7 "$work/rgb.bmp"; seed "$images" 8 "$work/rle.psd"

audio=corpus/audio_decoder_fuzz
rm -rf "$audio"
# Index order as in audio_decoder_fuzz.cpp: wav mp3 flac ogg m4a. A twentieth of a second each.
tone() { ffmpeg -hide_banner -loglevel error -y -f lavfi -i "sine=frequency=440:duration=0.05:sample_rate=$1" -ac "$2" "${@:3}"; }
tone 8000 1 -c:a pcm_s16le "$work/mono.wav"
tone 8000 2 -c:a pcm_f32le "$work/float.wav"
tone 22050 1 -c:a libmp3lame -b:a 32k "$work/tone.mp3"
tone 8000 2 -c:a flac "$work/tone.flac"
tone 8000 1 -c:a libvorbis "$work/vorbis.ogg"
tone 8000 1 -c:a libopus "$work/opus.ogg"
tone 8000 1 -c:a aac -b:a 16k "$work/tone.m4a"
seed "$audio" 0 "$work/mono.wav"; seed "$audio" 0 "$work/float.wav"
seed "$audio" 1 "$work/tone.mp3"; seed "$audio" 2 "$work/tone.flac"
seed "$audio" 3 "$work/vorbis.ogg"; seed "$audio" 3 "$work/opus.ogg"
seed "$audio" 4 "$work/tone.m4a"
# Length bombs, each a few KB claiming gigabytes: a RIFF LIST chunk (made FFmpeg allocate 1.8 GB; found
# by this target), the same in RF64, an RF64 ds64 table, an ID3 tag size, and MP4 stsz and moov sizes.
python3 - "$work" <<'PY'
import struct, sys
w = sys.argv[1]
le = lambda *v: struct.pack('<' + 'I' * len(v), *v)
fmt = b'fmt ' + le(16) + struct.pack('<HHIIHH', 1, 1, 8000, 16000, 2, 16)
bomb = b'LIST' + le(0xA0000000) + b'INFO' + b'INAM' + le(0x69800000) + b'x' * 3700
ds64 = lambda table: b'ds64' + le(28) + struct.pack('<QQQI', 0x7FFFFFFFFF, 0x7FFFFFFF00, 0x3FFFFFFF80, table)
files = {
    'riff_list_bomb.wav': b'RIFF' + le(0xA0001000) + b'WAVE' + fmt + bomb,
    'rf64_list_bomb.wav': b'RF64' + le(0xFFFFFFFF) + b'WAVE' + ds64(0) + fmt + bomb,
    'rf64_table_bomb.wav': b'RF64' + le(0xFFFFFFFF) + b'WAVE' + ds64(0x10000000) + fmt + b'data' + le(0xFFFFFFFF) + bytes(200),
}
mp3 = open(w + '/tone.mp3', 'rb').read()
files['id3_size_bomb.mp3'] = b'ID3\x03\x00\x00\x7f\x7f\x7f\x70' + b'APIC' + b'\x0f\xff\xff\x00\x00\x00' + mp3
m4a = open(w + '/tone.m4a', 'rb').read()
def patched(box, offset, value):
    at = m4a.find(box) + offset
    return m4a[:at] + struct.pack('>I', value) + m4a[at + 4:]
files['stsz_count_bomb.m4a'] = patched(b'stsz', 12, 0x3FFFFFF0)
files['moov_size_bomb.m4a'] = patched(b'moov', -4, 0x7FFFFFF0)
# Nine channels have no usual layout: the decoder names them itself before mixing them to stereo.
nine = bytes(9 * 2 * 100)
files['nine_channels.wav'] = (b'RIFF' + le(36 + len(nine)) + b'WAVE' + b'fmt ' + le(16) +
                              struct.pack('<HHIIHH', 1, 9, 8000, 144000, 18, 16) + b'data' + le(len(nine)) + nine)
for name, data in files.items():
    open(w + '/' + name, 'wb').write(data)
PY
seed "$audio" 0 "$work/riff_list_bomb.wav"; seed "$audio" 0 "$work/rf64_list_bomb.wav"
seed "$audio" 0 "$work/rf64_table_bomb.wav"; seed "$audio" 1 "$work/id3_size_bomb.mp3"
seed "$audio" 4 "$work/stsz_count_bomb.m4a"; seed "$audio" 4 "$work/moov_size_bomb.m4a"
seed "$audio" 0 "$work/nine_channels.wav"

names=corpus/token_renamer_fuzz
rm -rf "$names"
mkdir -p "$names"
# Fields split at NUL: pattern, file name, then key and value pairs.
printf '{name}_{index:03}_{date:yyyy-MM-dd}\0Rock_AO.png\0' >"$names/date"
printf '{name}_{profile}_{pot}\0a:b|c.tga\0profile\0ORM\0pot\0002x2' >"$names/context"
printf '{ext}{total}{missing}{index:9}\0\x01weird\xff.PNG\0name\0x/y' >"$names/odd"

bundles=corpus/preset_bundle_fuzz
rm -rf "$bundles"
mkdir -p "$bundles"
cat >"$bundles/texture.json" <<'JSON'
{
  "version" : "1.0",
  "presetID" : "com.kadrel.morvale",
  "presetName" : "Morvale Express",
  "verticalName" : "Indie Game Dev & 3D Art",
  "defaultNamingPattern" : "{name}_{profile}_{pot}",
  "configuration" : {
    "mode" : "pack",
    "profile" : "unreal",
    "namingPattern" : "{name}_\u00e9"
  },
  "exportedAt" : 786000000.25
}
JSON
printf '{"version":"","presetID":"","presetName":"","verticalName":"","defaultNamingPattern":"","configuration":{},"exportedAt":-1e9}' >"$bundles/empty.json"
strip=corpus/exif_stripper_fuzz
# Not emptied first: the folder also keeps the inputs on which fuzzing once found a fault.
# The stripper's test photos and the damaged JPEGs its tests keep (each input is stripped with
# every option; the first byte picks the extension from a list of one).
/usr/bin/python3 ../batch_core/make_location_fixtures.py "$work/located" >/dev/null
for photo in "$work"/located/*.jpg ../batch_core/data/damaged_*.jpg; do
  seed "$strip" 0 "$photo"
done

echo "seeds: $(find corpus -type f | wc -l) files in $(ls corpus | wc -l) folders"
