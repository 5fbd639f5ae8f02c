#!/bin/bash
# Velmora through a compressed E01 next to the raw image it was made from,
# and Sleuth Kit's fls on both, for scale. Not a test: it prints a table of
# medians over RUNS runs (after one warm-up run), wall time and CPU time
# (user + system: on a shared machine the wall time also counts waiting
# for the other processes), and the peak resident set of the last run.
#
#   bench/compare_ewf.sh IMAGE 'DIR' [RUNS]
#
# IMAGE holds the directory DIR to list: tools/make_volumes.sh --large OUT
# --only bigdir gives OUT/bigdir.img with '\huge', 60,000 names. The E01 is
# made here as examiners make it: ewfacquire, fast deflate, 4 MiB segments.
# PAD_MIB (default 0) appends that many MiB of random bytes behind the
# volume before the acquisition: a set of many segments (a disk with more
# than the volume on it), whose segment files all open at the start.
# RUNS defaults to 5; FLS_RUNS (default 3) counts fls's runs, which take
# seconds each on 60,000 names.
# VELMORA names the binary (default build-bench/velmora, then build/velmora).
set -euo pipefail

SCRIPT=compare_ewf.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
IMAGE=${1:?usage: compare_ewf.sh IMAGE DIR [RUNS]}
DIR=${2:?directory to list}
RUNS=${3:-5}
FLS_RUNS=${FLS_RUNS:-3}
PAD_MIB=${PAD_MIB:-0}
for tool in fls ifind ewfacquire /usr/bin/time; do command -v "$tool" >/dev/null || skip "$tool missing"; done

WORK=$(mktemp -d /tmp/compare_ewf.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

raw=$IMAGE
if [ "$PAD_MIB" -gt 0 ]; then
  raw=$WORK/padded.img
  { cat "$IMAGE"; head -c $((PAD_MIB << 20)) /dev/urandom; } > "$raw"
fi
ewfacquire -u -q -c fast -S 4MiB -t "$WORK/set" "$raw" >/dev/null 2>&1 || skip "ewfacquire failed"
E01=$WORK/set.E01

# medians RUNS CMD...: "wall_ms cpu_ms peak_kib", the medians of RUNS runs
# after a warm-up run, and the peak resident set of the last.
medians() {
  local runs=$1 times=$WORK/times
  shift
  "$@" > /dev/null 2>&1 || true
  : > "$times"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %U %S %M' -a -o "$times" "$@" > /dev/null 2>/dev/null || true
  done
  awk '{ w[NR] = $1 * 1000; c[NR] = ($2 + $3) * 1000; m = $4 }
    function median(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
    END { printf "%d %d %d\n", median(w, NR), median(c, NR), m }' "$times"
}

row() {  # row LABEL "WALL CPU KIB" ["WALL CPU KIB" of the raw run]
  local w c k rw rc
  read -r w c k <<< "$2"
  if [ -n "${3:-}" ]; then
    read -r rw rc _ <<< "$3"
    printf '%-28s %8d %8d %8d   %5.2fx %5.2fx\n' "$1" "$w" "$c" "$k" \
      "$(echo "$w / ($rw + ($rw == 0))" | bc -l)" "$(echo "$c / ($rc + ($rc == 0))" | bc -l)"
  else
    printf '%-28s %8d %8d %8d\n' "$1" "$w" "$c" "$k"
  fi
}

echo "$DIR of $IMAGE; E01: $(ls "$WORK"/set.E* | wc -l) segments, $(du -k "$WORK" | awk '{print $1}') KiB; $RUNS runs (fls $FLS_RUNS)"
printf '%-28s %8s %8s %8s   %6s %6s\n' "median" wall_ms cpu_ms peak_KiB wall/raw cpu/raw
r=$(medians "$RUNS" "$VELMORA" -m C: "$raw" -f "C:$DIR" -l)
row "velmora -l  raw" "$r"
row "velmora -l  E01" "$(medians "$RUNS" "$VELMORA" -m C: "$E01" -f "C:$DIR" -l)" "$r"
r=$(medians "$RUNS" "$VELMORA" -m C: "$raw" -f 'C:\' --timeline)
row "velmora --timeline  raw" "$r"
row "velmora --timeline  E01" "$(medians "$RUNS" "$VELMORA" -m C: "$E01" -f 'C:\' --timeline)" "$r"
RECORD=$(ifind -n "$(printf '%s' "${DIR#\\}" | tr '\\' '/')" "$raw")
r=$(medians "$FLS_RUNS" fls "$raw" "$RECORD")
row "fls DIR  raw" "$r"
row "fls DIR  E01" "$(medians "$FLS_RUNS" fls "$E01" "$RECORD")" "$r"
