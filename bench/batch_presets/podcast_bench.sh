#!/usr/bin/env bash
# One long podcast episode of real recorded speech through our export and through the equivalent ffmpeg
# command chain, in one run, both pinned to the same processors and nice'd (the machine may be shared):
# wall time, processor time, peak memory, the stage profile of ours, and the loudness of each master read
# by ffmpeg's EBU R128 meter. With transcripts (all processors): the same figures and the word error rate
# of our transcript beside pocketsphinx_continuous's on the same speech.
#
# The episode is read speech from Debian's pocketsphinx-testdata (LibriVox sentences, spoken card names
# and a spoken command, with their transcriptions) with short pauses between sentences, looped as often
# as fits whole into the length asked for, at 48 kHz stereo over pink noise and 50 Hz hum.
#
# Usage: bench/batch_presets/podcast_bench.sh [build folder] [minutes] [configs: plain ffmpeg dall d3 d1 cli]
# PODCAST_BENCH_CORES (default 0-3) pins the runs without transcripts; PODCAST_BENCH_DIR keeps the work
# folder (and its episode) between runs.
set -euo pipefail
build="$(realpath "${1:-build}")"
minutes="${2:-60}"
shift 2 || true
configs=("$@")
[ "${#configs[@]}" -gt 0 ] || configs=(plain ffmpeg dall cli)
cores="${PODCAST_BENCH_CORES:-0-3}"

missing=()
for p in sox ffmpeg time pocketsphinx pocketsphinx-testdata python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""; if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

work="${PODCAST_BENCH_DIR:-$(mktemp -d /var/tmp/podcast-bench.XXXXXX)}"
mkdir -p "$work/tmp"
episode="$work/episode.wav"
reference="$work/episode.txt"
seconds=$((minutes * 60))
data=/usr/share/pocketsphinx/test/data

# One pass over every transcribed recording, 0.7 s of silence after each; its words in loop.txt.
make_loop() {
  local parts=() text=""
  sox -q -n -r 16000 -c 1 -b 16 "$work/gap.wav" trim 0 0.7
  sox -q -t raw -r 16000 -e signed -b 16 -c 1 "$data/goforward.raw" "$work/goforward.wav"
  while read -r line; do
    parts+=("$data/librivox/$(sed 's/.*(\(.*\))/\1/' <<<"$line").wav" "$work/gap.wav")
    text+="$(sed 's/<s>//; s/<\/s>.*//' <<<"$line") "
  done < "$data/librivox/transcription"
  while read -r line; do
    parts+=("$data/cards/$(sed 's/.*(\(.*\))/\1/' <<<"$line").wav" "$work/gap.wav")
    text+="$(sed 's/<s>//; s/<\/s>.*//' <<<"$line") "
  done < "$data/cards/cards.transcription"
  parts+=("$work/goforward.wav" "$work/gap.wav")
  text+="go forward ten meters"
  sox -q "$work/gap.wav" "${parts[@]}" "$work/loop.wav"
  tr -s ' ' <<<"$text" > "$work/loop.txt"
}

if [ ! -f "$episode" ]; then
  make_loop
  len=$(soxi -D "$work/loop.wav")
  repeats=$(python3 -c "print(max(1, int($seconds // $len)))")
  sox -q "$work/loop.wav" -r 48000 -c 2 "$work/loop48.wav"
  sox -q "$work/loop48.wav" "$work/long.wav" repeat $((repeats - 1))
  seconds=$(soxi -D "$work/long.wav")
  for _ in $(seq 1 "$repeats"); do cat "$work/loop.txt"; echo; done > "$reference"
  sox -q -n -r 48000 -c 2 "$work/noise.wav" synth "$seconds" pinknoise vol 0.004
  sox -q -n -r 48000 -c 2 "$work/hum.wav" synth "$seconds" sine 50 vol 0.01
  sox -q -m -v 1 "$work/long.wav" -v 1 "$work/noise.wav" -v 1 "$work/hum.wav" "$episode"
  rm -f "$work/long.wav" "$work/noise.wav" "$work/hum.wav" "$work/loop48.wav"
  ffmpeg -v error -y -f lavfi -i 'testsrc2=size=3000x3000' -frames:v 1 -q:v 3 "$work/cover.jpg"
  : > "$work/chapters.txt"
  printf ';FFMETADATA1\n' > "$work/chapters.ffmeta"
  for m in $(seq 0 5 $((minutes - 1))); do
    echo "$m:00 Part $((m / 5 + 1))" >> "$work/chapters.txt"
    end=$(( (m + 5 < minutes ? m + 5 : minutes) * 60000 ))
    printf '[CHAPTER]\nTIMEBASE=1/1000\nSTART=%d\nEND=%d\ntitle=Part %d\n' $((m * 60000)) "$end" $((m / 5 + 1)) >> "$work/chapters.ffmeta"
  done
fi
echo "episode: $(soxi -D "$episode") s of real read speech ($(wc -w < "$reference") words), $(soxi -r "$episode") Hz, $(soxi -c "$episode") channels"
echo "machine: $(nproc) processors, load $(cut -d' ' -f1-3 /proc/loadavg) (shared: other builds may be running)"

# Word error rate of a hypothesis file against the reference; [mm:ss] marks and the recogniser's own
# tokens are not words.
wer() {
  python3 - "$reference" "$1" <<'EOF'
import re, sys
def words(t):
    t = re.sub(r"\[\d+:\d+\]", " ", t.lower())
    t = re.sub(r"\(\d+\)", "", t)
    return [w.strip(".,?!;:\"") for w in t.split() if not w.startswith(("<", "[", "+"))]
ref, hyp = words(open(sys.argv[1]).read()), words(open(sys.argv[2]).read())
d = list(range(len(hyp) + 1))
for i, r in enumerate(ref, 1):
    prev, d[0] = d[0], i
    for j, h in enumerate(hyp, 1):
        cur = min(d[j] + 1, d[j - 1] + 1, prev + (r != h)); prev, d[j] = d[j], cur
print(f"{100.0 * d[-1] / len(ref):.1f} % over {len(ref)} words")
EOF
}

loudness() {
  ffmpeg -nostats -hide_banner -i "$1" -af ebur128=peak=true -f null - 2>&1 |
    awk '/^ *I:/{i=$2} /^ *Peak:/{p=$2} END{print i " LUFS, true peak " p " dBTP"}'
}

ours() {
  local name="$1" pin="$2"; shift 2
  rm -rf "$work/out-$name"
  echo "== ours ($name, processors ${pin:-all}): $*"
  local run=("$build/bench/batch_presets/bench_podcast" "$episode" "$work/out-$name" --cover "$work/cover.jpg" "$@")
  [ -n "$pin" ] && run=(taskset -c "$pin" "${run[@]}")
  TMPDIR="$work/tmp" nice "${run[@]}" 2>"$work/$name.log" | tee "$work/$name.txt" | grep -v '^output='
  echo "   master: $(loudness "$(grep -m1 '_Master_' "$work/$name.txt" | cut -d= -f2-)")"
  local text; text=$(grep -m1 '_Transcript.txt' "$work/$name.txt" | cut -d= -f2- || true)
  [ -z "$text" ] || echo "   word error rate: $(wer "$text")"
}

timed() {  # label, command...
  local label="$1"; shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" taskset -c "$cores" nice "$@" >/dev/null 2>>"$work/ffmpeg.log"
  read -r wall user sys rss < "$work/time.txt"
  echo "   $label: ${wall} s, cpu $(python3 -c "print(round($user + $sys, 1))") s, peak RSS $((rss / 1024)) MB"
  chain_total=$(python3 -c "print($chain_total + $wall)")
  chain_cpu=$(python3 -c "print($chain_cpu + $user + $sys)")
  chain_peak=$(( rss / 1024 > chain_peak ? rss / 1024 : chain_peak ))
}

chain() {
  echo "== ffmpeg chain (processors $cores)"
  chain_total=0; chain_cpu=0; chain_peak=0
  local f="$work/ff"; mkdir -p "$f"
  : > "$work/ffmpeg.log"
  timed "loudnorm pass 1" ffmpeg -hide_banner -nostats -y -i "$episode" -af loudnorm=I=-16:TP=-1:LRA=11:print_format=json -f null -
  local m; m=$(sed -n '/^{/,/^}/p' "$work/ffmpeg.log" | tail -n 12)
  local ii tp lra th off
  ii=$(echo "$m" | sed -n 's/.*"input_i" : "\(.*\)".*/\1/p'); tp=$(echo "$m" | sed -n 's/.*"input_tp" : "\(.*\)".*/\1/p')
  lra=$(echo "$m" | sed -n 's/.*"input_lra" : "\(.*\)".*/\1/p'); th=$(echo "$m" | sed -n 's/.*"input_thresh" : "\(.*\)".*/\1/p')
  off=$(echo "$m" | sed -n 's/.*"target_offset" : "\(.*\)".*/\1/p')
  : > "$work/ffmpeg.log"
  timed "loudnorm pass 2" ffmpeg -hide_banner -nostats -y -i "$episode" -af \
    "loudnorm=I=-16:TP=-1:LRA=11:measured_I=$ii:measured_TP=$tp:measured_LRA=$lra:measured_thresh=$th:offset=$off:linear=true:print_format=summary" \
    -ar 48000 -c:a pcm_s24le "$f/master.wav"
  grep -m1 "Normalization Type" "$work/ffmpeg.log" | sed 's/^/   /' || true
  timed "libmp3lame 192k, tags, cover, chapters" ffmpeg -hide_banner -nostats -y -i "$f/master.wav" -i "$work/cover.jpg" \
    -i "$work/chapters.ffmeta" -map 0:a -map 1:v -map_metadata 2 -map_chapters 2 -codec:a libmp3lame -b:a 192k -c:v copy \
    -id3v2_version 3 -metadata title="Episode" -metadata artist="Your Name" -metadata album="My Podcast" -metadata track=1 \
    -metadata:s:v title="Album cover" -metadata:s:v comment="Cover (front)" "$f/rss.mp3"
  timed "16 kHz reference" ffmpeg -hide_banner -nostats -y -i "$f/master.wav" -ar 16000 -ac 1 -c:a pcm_s16le "$f/ref.wav"
  timed "showwaves 45 s" ffmpeg -hide_banner -nostats -y -t 45 -i "$f/master.wav" -filter_complex \
    "[0:a]showwaves=s=1080x1080:mode=cline:colors=0x3B82F6,format=yuv420p[v]" -map "[v]" -map 0:a \
    -c:v libx264 -preset superfast -c:a aac -b:a 192k "$f/audiogram.mp4"
  echo "   total: wall ${chain_total} s, cpu ${chain_cpu} s, largest peak RSS ${chain_peak} MB; mp3 $(( $(stat -c %s "$f/rss.mp3") / 1048576 )) MB"
  echo "   master: $(loudness "$f/master.wav")"
}

# pocketsphinx_continuous on the same speech at 16 kHz, in as many parts as processors, all at once.
cli() {
  local n; n=$(nproc)
  echo "== pocketsphinx_continuous ($n parts at once, default settings)"
  sox -q "$episode" -r 16000 -c 1 -b 16 "$work/episode16.wav"
  local part; part=$(python3 -c "print($(soxi -D "$work/episode16.wav") / $n)")
  local start; start=$(date +%s.%N)
  for i in $(seq 0 $((n - 1))); do
    sox -q "$work/episode16.wav" "$work/part$i.wav" trim "$(python3 -c "print($i * $part)")" "$part"
    nice pocketsphinx_continuous -infile "$work/part$i.wav" -logfn /dev/null > "$work/cli$i.txt" 2>/dev/null &
  done
  wait
  echo "   wall $(python3 -c "import time; print(round(time.time() - $start, 1))") s"
  for i in $(seq 0 $((n - 1))); do cat "$work/cli$i.txt"; done > "$work/cli-hyp.txt"
  echo "   word error rate: $(wer "$work/cli-hyp.txt") (parts cut blindly: a few words at the cuts are lost)"
}

for c in "${configs[@]}"; do
  case "$c" in
    plain) ours plain "$cores" --chapters "$work/chapters.txt" ;;
    d1) ours d1 "" --transcripts --decoders 1 ;;
    d3) ours d3 "" --transcripts --decoders 3 ;;
    dall) ours dall "" --transcripts ;;
    ffmpeg) chain ;;
    cli) cli ;;
  esac
done
echo "work folder: $work"
