#!/usr/bin/env bash
# Reads a set of realistic sensor signals (band-limited edges as a sound card delivers them,
# AC coupling, hum, noise, uneven magnets, a ramp), written by `velmorant-cli generate`, with
# both methods of `velmorant-cli analyse`, and prints a Markdown table: for each signal the
# largest error of a reading after the first second (three impulses for slow shafts), in ppm
# of the true impulse rate, and the share of those readings that are steady, for the block
# method and the speed tracker, beside the tracker's goal. Then the error of `calibrate` on
# 10 s of a 1 kHz reference, and how much faster the tracker reads a one-hour recording than
# `sox FILE -n stat` in the same run.
#
# Usage: bench/tracker-vs-block.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a Release build (default: build/release); RUNS of each timed program (default 7)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/timing.sh

build=${1:-build/release}
runs=${2:-7}
cli=$build/tools/velmorant-cli
for tool in "$cli" sox awk; do
  if ! command -v "$tool" >/dev/null; then
    echo "tracker-vs-block: '$tool' is missing (build the release preset; scripts/install-deps.sh installs sox)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name | rpm | ppr | seconds | judged from (s) | tracker goal (ppm) | generate options
# Pulse height is 20000 (amplitude 10000); noise 20 is 60 dB below it, 200 is 1 % (40 dB),
# 2000 is 10 % (20 dB).
signals=(
  "Clean 47.3 Hz square|2838|1|20|1|20|--shape square --band-limited"
  "120 RPM, 1 impulse per rev, 1 % noise|120|1|30|3|20|--shape square --band-limited --noise 200"
  "30 RPM, 1 impulse per rev, 1 % noise|30|1|30|6|100|--shape square --band-limited --noise 200"
  "Square 2 Hz, AC-coupled at 50 Hz|120|1|30|3|20|--shape square --band-limited --noise 20 --ac-hz 50"
  "1 % pulses, AC-coupled at 10 Hz|1200|1|20|1|20|--shape pulse --duty 0.01 --band-limited --noise 20 --ac-hz 10"
  "99 % pulses, AC-coupled at 2 Hz|12000|1|20|1|20|--shape pulse --duty 0.99 --band-limited --noise 20 --ac-hz 2"
  "Square 2000 Hz|120000|1|10|1|20|--shape square --band-limited --noise 20"
  "4 magnets spaced 4-5 % unevenly|1500|4|20|1|20|--shape square --band-limited --noise 20 --uneven 0.025"
  "6 strips spaced unevenly, 300 Hz|3000|6|20|1|20|--shape square --band-limited --noise 20 --uneven 0.02"
  "47.3 Hz square recorded at 48 kHz|2838|1|20|1|20|--shape square --band-limited --noise 20 --rate 48000"
  "Narrow negative pulses (3 %), 20 % hum|2220|1|20|1|200|--shape pulse --duty 0.03 --polarity negative --hum 0.2 --band-limited --noise 20"
  "Square, 20 % 60 Hz hum, AC-coupled at 10 Hz|1500|1|20|1|200|--shape square --band-limited --noise 20 --hum 0.2 --hum-hz 60 --ac-hz 10"
  "Noise 10 % of the pulse height (20 dB SNR)|1500|2|20|1|200|--shape square --band-limited --noise 2000"
  "Ramp 1000 to 3000 RPM in 10 s (goal 1 %)|1000|2|12|1|10000|--shape pulse --duty 0.3 --band-limited --noise 20 --ramp-to 3000 --ramp-seconds 10"
  "Sine 25 Hz (generate's default shape)|1500|1|20|1|-|--band-limited --noise 20"
)

# Largest error (ppm) and share of steady rows among rows starting at or after `from` seconds,
# from CSV on stdin. The true rate may ramp linearly from f0 to f1 over `ramp` seconds; a row
# is exact when it lies within the rates during its interval.
judge() {
  awk -F, -v f0="$1" -v f1="$2" -v ramp="$3" -v from="$4" '
    function rate(t) { return ramp > 0 ? f0 + (f1 - f0) * (t < ramp ? t : ramp) / ramp : f0 }
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    $col["start_s"] + 0 >= from {
      t = $col["start_s"]; f = $col["frequency_hz"] + 0
      lo = rate(t); hi = rate(t + 8192 / 22050)
      err = f < lo ? (lo - f) / lo : (f > hi ? (f - hi) / hi : 0)
      if (err > worst) worst = err
      n++; if ($col["steady"] == "true") steady++
    }
    END { printf "%.6f %d %d\n", worst * 1e6, steady, n }'
}

ppm_text() {
  awk -v p="$1" 'BEGIN {
    if (p >= 1e6) printf "%.0f %%", p / 10000; else if (p >= 10000) printf "%.1f %%", p / 10000;
    else if (p >= 100) printf "%.0f", p; else printf "%.1f", p }'
}

echo "| Signal | Block: error (ppm) | Block: steady | Tracker: error (ppm) | Tracker: steady | Tracker goal (ppm) |"
echo "|---|---:|---:|---:|---:|---:|"
missed=0
for entry in "${signals[@]}"; do
  IFS='|' read -r name rpm ppr seconds from goal options <<<"$entry"
  wav=$work/signal.wav
  # shellcheck disable=SC2086  # the options are words
  "$cli" generate "$wav" --rpm "$rpm" --ppr "$ppr" --seconds "$seconds" $options >/dev/null
  f0=$(awk -v r="$rpm" -v n="$ppr" 'BEGIN { printf "%.9f", r * n / 60 }')
  f1=$f0
  ramp=0
  if [[ $options =~ --ramp-to\ ([0-9.]+)\ --ramp-seconds\ ([0-9.]+) ]]; then
    f1=$(awk -v r="${BASH_REMATCH[1]}" -v n="$ppr" 'BEGIN { printf "%.9f", r * n / 60 }')
    ramp=${BASH_REMATCH[2]}
  fi
  row="| $name"
  for method in block tracker; do
    read -r worst steady n < <("$cli" analyse "$wav" --ppr "$ppr" --method "$method" --format csv 2>/dev/null |
      judge "$f0" "$f1" "$ramp" "$from")
    share=$(awk -v s="$steady" -v n="$n" 'BEGIN { printf "%.0f %%", n ? 100 * s / n : 0 }')
    row+=" | $(ppm_text "$worst") | $share"
    if [ "$method" = tracker ] && [ "$goal" != "-" ] &&
      awk -v w="$worst" -v g="$goal" 'BEGIN { exit !(w > g) }'; then
      missed=$((missed + 1))
      row+=" (NOT met)"
    fi
  done
  case $goal in
    -) goal_text="-" ;;
    10000) goal_text="1 %" ;;
    *) goal_text=$goal ;;
  esac
  echo "$row | $goal_text |"
done
echo
if [ "$missed" -eq 0 ]; then
  echo "Every tracker row meets its goal."
else
  echo "$missed tracker rows miss their goal."
fi

echo
for case in "148.7 22050" "-62.5 48000"; do
  read -r ppm rate <<<"$case"
  ref=$work/reference.wav
  "$cli" generate "$ref" --rpm 60000 --seconds 10 --band-limited --noise 30 --clock-ppm "$ppm" \
    --rate "$rate" >/dev/null
  got=$("$cli" calibrate "$ref" --reference-hz 1000 --format json |
    sed -n 's/.*"clock_ppm":\([-0-9.]*\).*/\1/p')
  printf 'calibration: 10 s of a 1 kHz reference at %s Hz, clock %+.1f ppm, measured %+.1f ppm, error %.1f ppm (goal: 1)\n' \
    "$rate" "$ppm" "$got" "$(awk -v a="$got" -v b="$ppm" 'BEGIN { d = a - b; print d < 0 ? -d : d }')"
done

echo
hour=$work/hour.wav
"$cli" generate "$hour" --rpm 1500 --ppr 2 --seconds 3600 --shape square --band-limited \
  --noise 30 >/dev/null
tracker() { "$cli" analyse "$hour" --ppr 2 --method tracker --format csv >/dev/null 2>&1; }
block() { "$cli" analyse "$hour" --ppr 2 --format csv >/dev/null 2>&1; }
sox_stat() { sox "$hour" -n stat >/dev/null 2>&1; }
# From the page cache, not the disk: one untimed run each first; then interleaved, so a busy
# moment of the machine hits all alike.
tracker
sox_stat
block
: >"$work/tracker.times"
: >"$work/sox.times"
: >"$work/block.times"
for _ in $(seq "$runs"); do
  seconds_of tracker >>"$work/tracker.times"
  seconds_of sox_stat >>"$work/sox.times"
  seconds_of block >>"$work/block.times"
done
t=$(median <"$work/tracker.times")
s=$(median <"$work/sox.times")
b=$(median <"$work/block.times")
ratio=$(awk -v t="$t" -v s="$s" 'BEGIN { printf "%.1f", s / t }')
echo "one hour of 16-bit mono 22050 Hz (square, 1500 RPM x 2), median of $runs runs:"
printf '  analyse --method tracker %6.3f s, analyse --method block %6.3f s, sox stat %6.3f s\n' "$t" "$b" "$s"
if awk -v r="$ratio" 'BEGIN { exit !(r >= 4) }'; then
  echo "  the tracker is ${ratio}x as fast as sox stat (goal: at least 4x): met"
else
  echo "  the tracker is ${ratio}x as fast as sox stat (goal: at least 4x): NOT met"
fi
