#!/usr/bin/env bash
# Runs the speech and file-edit benchmark beside its peer tools, installing them first when missing.
# Usage: bench/av_engine/speech_bench.sh [build folder] [--episode] [--speech|--edits]
set -euo pipefail
build="${1:-build}"
shift || true
missing=()
for p in pocketsphinx sox espeak-ng; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""; if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
exec "$build/bench/av_engine/speech_bench" "$@"
