#!/bin/bash
# "velmora --usn-file" on a generated journal of 1,000,000 records, text and
# JSON: wall time, peak memory and records per second, and beside it Sleuth
# Kit's "usnjls" on a volume image that holds a journal, when one is named.
# Not a test: it prints a table.
#
#   bench/compare_usn.sh [IMAGE]
#
# The journal comes from velmora_bench (bench/usn_bench.cpp; build it with
# -DVELMORA_BENCH=ON into build-bench). IMAGE is a volume with
# $Extend\$UsnJrnl (one written by Windows: mkntfs and ntfs-3g write none),
# read by both tools whole.
set -euo pipefail

SCRIPT=compare_usn.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
BENCH=${BENCH:-$ROOT/build-bench/velmora_bench}
[ -x "$BENCH" ] || skip "no $BENCH (cmake -S . -B build-bench -DVELMORA_BENCH=ON)"
command -v /usr/bin/time >/dev/null || skip "/usr/bin/time missing"

work=$(mktemp -d /tmp/compare_usn.XXXXXX)
trap 'rm -rf "$work"' EXIT
VELMORA_USN_BENCH_OUT=$work/J "$BENCH" --benchmark_filter=Usn

measure() {  # LABEL COMMAND...: wall seconds, peak KiB, lines
  local label=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" > "$work/out" 2> /dev/null || true
  read -r seconds kib < "$work/time"
  printf '%-28s %8.2f s %9d KiB %9d lines  %6.2f M lines/s\n' "$label" "$seconds" "$kib" \
    "$(wc -l < "$work/out")" "$(awk -v l="$(wc -l < "$work/out")" -v s="$seconds" 'BEGIN { print l / s / 1e6 }')"
}
measure "velmora --usn-file (text)" "$VELMORA" --usn-file "$work/J"
measure "velmora --usn-file --json" "$VELMORA" --usn-file "$work/J" --json
if [ $# -ge 1 ]; then
  measure "velmora --usn" "$VELMORA" -m C: "$1" -f 'C:\' --usn
  if command -v usnjls >/dev/null; then
    measure "usnjls -l" usnjls -l "$1"
  else
    echo "usnjls missing (sleuthkit)"
  fi
fi
