#!/usr/bin/env bash
# Times `velmorant-cli analyse --format csv` against `sox FILE -n stat` on the same one-hour
# 22050 Hz mono recording, in the same run, and reports the ratio and both peak memories.
# Goal: analyse at least 8 times faster than sox stat, with memory that does not grow with the
# length of the recording (a six-minute file is measured beside the hour for comparison).
#
# Usage: bench/analyse-vs-sox.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a Release build (default: build/release); RUNS per program (default: 7)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh

build=${1:-build/release}
runs=${2:-7}
cli=$build/tools/velmorant-cli
for tool in "$cli" sox /usr/bin/time; do
  if ! command -v "$tool" >/dev/null; then
    echo "analyse-vs-sox: '$tool' is missing (build the release preset; scripts/install-deps.sh installs sox and time)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hour=$work/hour.wav
tenth=$work/six-minutes.wav
"$cli" generate "$hour" --rpm 1500 --ppr 2 --seconds 3600 --noise 30 >/dev/null
"$cli" generate "$tenth" --rpm 1500 --ppr 2 --seconds 360 --noise 30 >/dev/null

analyse() { "$cli" analyse "$1" --ppr 2 --format csv >/dev/null 2>&1; }
sox_stat() { sox "$1" -n stat >/dev/null 2>&1; }

best() { sort -n | head -1; }

# Peak resident memory in MiB of one run, from GNU time.
peak_mib() {
  local kib
  kib=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1)
  awk -v kib="$kib" 'BEGIN { printf "%.1f\n", kib / 1024 }'
}

# Both programs read the file from the page cache, not the disk: one untimed run each first.
analyse "$hour"
sox_stat "$hour"

# Interleaved, so a busy moment of the machine hits both programs alike.
: >"$work/analyse.times"
: >"$work/sox.times"
for _ in $(seq "$runs"); do
  seconds_of analyse "$hour" >>"$work/analyse.times"
  seconds_of sox_stat "$hour" >>"$work/sox.times"
done

analyse_median=$(median <"$work/analyse.times")
sox_median=$(median <"$work/sox.times")
ratio=$(awk -v a="$analyse_median" -v s="$sox_median" 'BEGIN { printf "%.1f\n", s / a }')
size_mib=$(awk -v b="$(stat -c %s "$hour")" 'BEGIN { printf "%.1f\n", b / 1048576 }')

echo "recording: one hour of 16-bit mono 22050 Hz WAV ($size_mib MiB), $runs runs each"
printf 'velmorant-cli analyse --format csv  median %6.3f s  best %6.3f s  peak memory %5.1f MiB (six minutes: %5.1f MiB)\n' \
  "$analyse_median" "$(best <"$work/analyse.times")" \
  "$(peak_mib "$cli" analyse "$hour" --ppr 2 --format csv)" \
  "$(peak_mib "$cli" analyse "$tenth" --ppr 2 --format csv)"
printf 'sox FILE -n stat                    median %6.3f s  best %6.3f s  peak memory %5.1f MiB\n' \
  "$sox_median" "$(best <"$work/sox.times")" "$(peak_mib sox "$hour" -n stat)"
if awk -v r="$ratio" 'BEGIN { exit !(r >= 8) }'; then
  echo "analyse is ${ratio}x as fast as sox stat (goal: at least 8x): met"
else
  echo "analyse is ${ratio}x as fast as sox stat (goal: at least 8x): NOT met"
fi
