#!/usr/bin/env bash
# One long podcast episode through our export (without transcripts, then with them on 1, 3 and all
# decoders) and through the equivalent ffmpeg command chain: wall time, peak memory, peak scratch space
# and the loudness of each master, read by ffmpeg's EBU R128 meter.
# Usage: bench/batch_presets/podcast_bench.sh [build folder] [minutes] [configs: plain d1 d3 dall ffmpeg]
set -euo pipefail
build="$(realpath "${1:-build}")"
minutes="${2:-60}"
shift 2 || true
configs=("$@")
[ "${#configs[@]}" -gt 0 ] || configs=(plain ffmpeg d3 dall d1)

missing=()
for p in sox espeak-ng ffmpeg time; do
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
seconds=$((minutes * 60))

if [ ! -f "$episode" ]; then
  text=""
  for i in $(seq 1 40); do
    text+="Welcome back to the harbour show, episode $i. Today we talk about the tides, the boats and the long road home. "
    text+="Our guest has spent twenty years on the water and, um, has a few stories to tell. [[ ]] "
  done
  espeak-ng -v en-us -s 165 -w "$work/voice.wav" "$text"
  sox -q "$work/voice.wav" -r 48000 -c 2 "$work/voice48.wav"
  len=$(soxi -D "$work/voice48.wav")
  repeats=$(python3 -c "import math; print(max(0, math.ceil($seconds / $len) - 1))")
  sox -q "$work/voice48.wav" "$work/long.wav" repeat "$repeats" trim 0 "$seconds"
  sox -q -n -r 48000 -c 2 "$work/noise.wav" synth "$seconds" pinknoise vol 0.004
  sox -q -n -r 48000 -c 2 "$work/hum.wav" synth "$seconds" sine 50 vol 0.01
  sox -q -m -v 1 "$work/long.wav" -v 1 "$work/noise.wav" -v 1 "$work/hum.wav" "$episode"
  rm -f "$work/long.wav" "$work/noise.wav" "$work/hum.wav" "$work/voice48.wav"
fi
echo "episode: $(soxi -D "$episode") s, $(soxi -r "$episode") Hz, $(soxi -c "$episode") channels"

loudness() {
  ffmpeg -nostats -hide_banner -i "$1" -af ebur128=peak=true -f null - 2>&1 |
    awk '/^ *I:/{i=$2} /^ *Peak:/{p=$2} END{print i " LUFS, true peak " p " dBTP"}'
}

ours() {
  local name="$1"; shift
  rm -rf "$work/out-$name"
  echo "== ours ($name): $*"
  TMPDIR="$work/tmp" "$build/bench/batch_presets/bench_podcast" "$episode" "$work/out-$name" "$@" 2>"$work/$name.log" |
    tee "$work/$name.txt" | grep -v '^output='
  echo "   master: $(loudness "$(grep -m1 '_Master_' "$work/$name.txt" | cut -d= -f2-)")"
}

timed() {  # label, command...
  local label="$1"; shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>>"$work/ffmpeg.log"
  read -r wall rss < "$work/time.txt"
  echo "   $label: ${wall} s, peak RSS $((rss / 1024)) MB"
  chain_total=$(python3 -c "print($chain_total + $wall)")
}

chain() {
  echo "== ffmpeg chain"
  chain_total=0
  local f="$work/ff"; mkdir -p "$f"
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
  timed "libmp3lame 192k" ffmpeg -hide_banner -nostats -y -i "$f/master.wav" -codec:a libmp3lame -b:a 192k "$f/rss.mp3"
  timed "16 kHz reference" ffmpeg -hide_banner -nostats -y -i "$f/master.wav" -ar 16000 -ac 1 -c:a pcm_s16le "$f/ref.wav"
  timed "showwaves 45 s" ffmpeg -hide_banner -nostats -y -t 45 -i "$f/master.wav" -filter_complex \
    "[0:a]showwaves=s=1080x1080:mode=cline:colors=0x3B82F6,format=yuv420p[v]" -map "[v]" -map 0:a \
    -c:v libx264 -preset superfast -c:a aac -b:a 192k "$f/audiogram.mp4"
  echo "   total: ${chain_total} s; mp3 $(( $(stat -c %s "$f/rss.mp3") / 1048576 )) MB"
  echo "   master: $(loudness "$f/master.wav")"
}

for c in "${configs[@]}"; do
  case "$c" in
    plain) ours plain ;;
    d1) ours d1 --transcripts --decoders 1 ;;
    d3) ours d3 --transcripts --decoders 3 ;;
    dall) ours dall --transcripts ;;
    ffmpeg) chain ;;
  esac
done
echo "work folder: $work"
