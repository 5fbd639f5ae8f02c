#!/bin/bash
# Velmora on evidence containers next to the raw volume, and next to Sleuth
# Kit's fls and icat on the same containers where Debian's Sleuth Kit opens
# them (E01; not QCOW2 or VHDX). Not a test: it prints a table of best wall
# times over RUNS runs and peak memory (GNU time's maximum resident set).
#
#   bench/compare_containers.sh LIST_IMAGE 'DIR' [VALUE_IMAGE 'FILE'] [RUNS]
#
# LIST_IMAGE holds the directory DIR to list (tools/make_volumes.sh --large
# OUT --only bigdir: OUT/bigdir.img '\huge', 60,000 names); VALUE_IMAGE the
# file FILE whose $DATA is extracted with -w (--only values:
# OUT/values.img '\frag\fragmented.bin', 128 MiB in 2048 runs). Each image
# is converted here: a multi-segment E01 (ewfacquire, uncompressed, 8 MiB
# segments), QCOW2 and VHDX (qemu-img). RUNS defaults to 3.
# VELMORA names the binary (default build/velmora).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LIST_IMAGE=${1:?usage: compare_containers.sh LIST_IMAGE DIR [VALUE_IMAGE FILE] [RUNS]}
LIST_DIR=${2:?directory to list}
VALUE_IMAGE=${3:-}
VALUE_FILE=${4:-}
RUNS=${5:-3}
VELMORA=${VELMORA:-$ROOT/build/velmora}

skip() { echo "compare_containers.sh: skipped: $*"; exit 0; }
[ -x "$VELMORA" ] || skip "no velmora binary at $VELMORA"
for tool in fls icat ifind ewfacquire qemu-img /usr/bin/time; do
  command -v "$tool" >/dev/null || skip "$tool missing"
done

WORK=$(mktemp -d /tmp/compare_containers.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# containers IMAGE STEM: STEM.E01 (and its segments), STEM.qcow2, STEM.vhdx.
containers() {
  ewfacquire -u -q -c none -S 8MiB -t "$2" "$1" >/dev/null 2>&1
  qemu-img convert -O qcow2 "$1" "$2.qcow2"
  qemu-img convert -O vhdx "$1" "$2.vhdx"
}

# best_ms CMD...: the best wall time of RUNS runs, in milliseconds, after one
# warm-up run; then the peak resident set of one more run, in KiB.
best_ms() {
  "$@" > /dev/null 2>&1 || true
  local best=
  for _ in $(seq "$RUNS"); do
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s%N)
    local ms=$(( (end - start) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  /usr/bin/time -f '%M' -o "$WORK/rss" "$@" > /dev/null 2>&1 || true
  echo "$best $(tail -1 "$WORK/rss")"
}

row() {  # row LABEL "MS RSS" [REFERENCE_MS]
  local ms=${2% *} rss=${2#* }
  if [ -n "${3:-}" ]; then
    printf '%-34s %9d ms %9.2fx %8d KiB\n' "$1" "$ms" "$(echo "$ms / $3" | bc -l)" "$rss"
  else
    printf '%-34s %9d ms %10s %8d KiB\n' "$1" "$ms" "" "$rss"
  fi
}

path_of() { printf '%s' "${1#\\}" | tr '\\' '/'; }

echo "listing $LIST_DIR of $LIST_IMAGE"
containers "$LIST_IMAGE" "$WORK/list"
echo "E01 segments: $(ls "$WORK"/list.E* | wc -l)"
RECORD=$(ifind -n "$(path_of "$LIST_DIR")" "$LIST_IMAGE")
printf '%-34s %12s %10s %12s\n' "" "best" "ratio" "peak memory"
raw=$(best_ms "$VELMORA" -m C: "$LIST_IMAGE" -f "C:$LIST_DIR" -l)
row "velmora -l  raw" "$raw"
for kind in E01 qcow2 vhdx; do
  row "velmora -l  $kind (/ raw)" "$(best_ms "$VELMORA" -m C: "$WORK/list.$kind" -f "C:$LIST_DIR" -l)" "${raw% *}"
done
fls_raw=$(best_ms fls "$LIST_IMAGE" "$RECORD")
row "fls         raw" "$fls_raw"
fls_e01=$(best_ms fls "$WORK/list.E01" "$RECORD")
row "fls         E01 (/ fls raw)" "$fls_e01" "${fls_raw% *}"
row "velmora -l  E01 (/ fls E01)" "$(best_ms "$VELMORA" -m C: "$WORK/list.E01" -f "C:$LIST_DIR" -l)" "${fls_e01% *}"
rm -f "$WORK"/list.*

[ -n "$VALUE_IMAGE" ] || exit 0
echo
echo "extracting \$DATA of $VALUE_FILE from $VALUE_IMAGE"
containers "$VALUE_IMAGE" "$WORK/value"
echo "E01 segments: $(ls "$WORK"/value.E* | wc -l)"
INODE=$(ifind -n "$(path_of "$VALUE_FILE")" "$VALUE_IMAGE")
# The attribute instance of the unnamed $DATA, from the file's attribute table.
INSTANCE=$("$VELMORA" -m C: "$VALUE_IMAGE" -f "C:$VALUE_FILE" -a |
  awk -F'\t' '/\$DATA\(8\)/ && $NF == "" { print $(NF-1) + 0; exit }')
OUT=$WORK/out.bin
printf '%-34s %12s %10s %12s\n' "" "best" "ratio" "peak memory"
raw=$(best_ms "$VELMORA" -m C: "$VALUE_IMAGE" -f "C:$VALUE_FILE" -w "$INSTANCE" "$OUT")
row "velmora -w  raw ($(stat -c %s "$OUT") bytes)" "$raw"
sum=$(sha256sum < "$OUT")
for kind in E01 qcow2 vhdx; do
  row "velmora -w  $kind (/ raw)" "$(best_ms "$VELMORA" -m C: "$WORK/value.$kind" -f "C:$VALUE_FILE" -w "$INSTANCE" "$OUT")" "${raw% *}"
  [ "$(sha256sum < "$OUT")" = "$sum" ] || echo "  $kind: the value differs from the raw volume's"
done
icat_raw=$(best_ms sh -c 'icat "$1" "$2" > "$3"' icat "$VALUE_IMAGE" "$INODE" "$OUT")
row "icat        raw" "$icat_raw"
icat_e01=$(best_ms sh -c 'icat "$1" "$2" > "$3"' icat "$WORK/value.E01" "$INODE" "$OUT")
row "icat        E01 (/ icat raw)" "$icat_e01" "${icat_raw% *}"
row "velmora -w  E01 (/ icat E01)" \
  "$(best_ms "$VELMORA" -m C: "$WORK/value.E01" -f "C:$VALUE_FILE" -w "$INSTANCE" "$OUT")" "${icat_e01% *}"
