# Timing helpers shared by the bench scripts; source it, do not run it.

# Wall time of one run in seconds. Bash's own clock: starting a `date` process would add its
# cost to the faster program's time.
seconds_of() {
  local start end
  start=$EPOCHREALTIME
  "$@"
  end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

# The median of the numbers on standard input, one a line.
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
