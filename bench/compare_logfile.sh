#!/bin/bash
# "velmora --logfile-file" on a 64 MiB log built from the format's layout
# (bench/make_log.py: wrapped once, every record page full), next to cat of
# the same bytes: wall and CPU time, peak memory (/usr/bin/time -v) and
# megabytes of log decoded per second, as text, as JSON and as timeline
# events (body file and JSON). Not a test: it prints a table.
#
#   bench/compare_logfile.sh [SIZE_MIB]
# VELMORA names the binary (default build-bench/velmora, then build/velmora).
set -euo pipefail

SCRIPT=compare_logfile.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
for tool in python3 /usr/bin/time; do command -v "$tool" >/dev/null || skip "$tool missing"; done

size=${1:-64}
scratch=$(mktemp -d /tmp/compare_logfile.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
python3 "$ROOT/bench/make_log.py" "$scratch/LogFile" "$size"
bytes=$(stat -c %s "$scratch/LogFile")

# best of 5: wall seconds, CPU seconds, peak KiB
measure() {
  local best="" line
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f '%e %U %S %M' -o "$scratch/time" "$@" > /dev/null 2> "$scratch/err" || true
    line=$(awk '{ printf "%s %.2f %s", $1, $2 + $3, $4 }' "$scratch/time")
    if [ -z "$best" ] || awk -v a="$line" -v b="$best" 'BEGIN { split(a, x); split(b, y); exit !(x[1] < y[1]) }'; then
      best=$line
    fi
  done
  echo "$best"
}

printf '%-26s %9s %9s %10s %12s\n' "run ($((bytes >> 20)) MiB log)" "wall s" "cpu s" "peak MiB" "MB/s (cpu)"
row() {
  local name=$1 result wall cpu peak
  shift
  result=$(measure "$@")
  read -r wall cpu peak <<< "$result"
  awk -v n="$name" -v w="$wall" -v c="$cpu" -v p="$peak" -v b="$bytes" 'BEGIN {
    printf "%-26s %9.2f %9.2f %10.1f %12.0f\n", n, w, c, p / 1024, (c > 0 ? b / c / 1e6 : 0) }'
}
row "cat" cat "$scratch/LogFile"
row "--logfile-file (text)" "$VELMORA" --logfile-file "$scratch/LogFile"
row "--logfile-file --json" "$VELMORA" --json --logfile-file "$scratch/LogFile"
row "--timeline --logfile-file" "$VELMORA" --timeline --logfile-file "$scratch/LogFile"
row "--timeline --json" "$VELMORA" --json --timeline --logfile-file "$scratch/LogFile"
"$VELMORA" --logfile-file "$scratch/LogFile" 2>&1 >/dev/null | sed 's/^/  /'
