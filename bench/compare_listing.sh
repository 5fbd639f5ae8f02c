#!/bin/bash
# Wall time of "velmora -l", as text and as JSON Lines (--json), next to
# Sleuth Kit's fls on the same directory of the same volume image, and the
# peak resident memory of each. Not a test: it prints numbers, and the entry
# counts of the tools as a sanity check.
#
#   bench/compare_listing.sh [IMAGE 'DIRECTORY'] [RUNS]
#
# IMAGE is a volume image (raw, or .xz, unpacked to a temporary file) and
# DIRECTORY its directory as the volume names it ('\bigdir'). Without them:
# the largest volume of $VELMORA_LARGE_DATA (tools/make_volumes.sh --large)
# and its biggest directory, or else a volume made here with one directory
# of $NAMES names (default 60000; needs root, /dev/fuse, mkntfs, ntfs-3g).
# VELMORA names the binary (default build-bench/velmora, then build/velmora).
# hyperfine is used when installed; else bash's own timer over RUNS runs
# (default 10).
set -euo pipefail

SCRIPT=compare_listing.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
IMAGE=${1:-}
DIR=${2:-}
RUNS=${3:-10}
NAMES=${NAMES:-60000}
for tool in fls ifind; do command -v "$tool" >/dev/null || skip "$tool missing"; done

WORK=$(mktemp -d /tmp/compare_listing.XXXXXX)
MNT="$WORK/mnt"
NTFS_PID=
cleanup() {
  if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || true; fi
  if [ -n "$NTFS_PID" ]; then wait "$NTFS_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

make_volume() {
  [ "$(id -u)" -eq 0 ] || skip "making the volume needs root (ntfs-3g mount)"
  [ -c /dev/fuse ] || skip "no /dev/fuse"
  for tool in mkntfs ntfs-3g python3; do command -v "$tool" >/dev/null || skip "$tool missing"; done
  IMAGE="$WORK/listing.img"
  DIR='\many'
  truncate -s 256M "$IMAGE"
  mkntfs -F -Q -q -c 4096 -L listing "$IMAGE" >/dev/null 2>&1
  mkdir -p "$MNT"
  ntfs-3g -o no_detach "$IMAGE" "$MNT" > "$WORK/ntfs-3g.log" 2>&1 &
  NTFS_PID=$!
  for _ in $(seq 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
  mountpoint -q "$MNT" || skip "ntfs-3g did not mount the volume"
  echo "making a directory of $NAMES names..."
  python3 - "$MNT/many" "$NAMES" <<'PY'
import os, sys
path, count = sys.argv[1], int(sys.argv[2])
os.mkdir(path)
for i in range(count):
    # Some CJK names among the ASCII ones, as a real directory would have.
    name = ('項目-%06d.txt' if i % 10 == 0 else 'file-%06d.txt') % i
    os.close(os.open(os.path.join(path, name), os.O_CREAT | os.O_WRONLY, 0o644))
PY
  sync
  umount "$MNT"
  wait "$NTFS_PID" || true
  NTFS_PID=
}

if [ -z "$IMAGE" ] && [ -n "${VELMORA_LARGE_DATA:-}" ]; then
  IMAGE=$(ls -S "$VELMORA_LARGE_DATA"/*.img 2>/dev/null | head -1 || true)
  if [ -n "$IMAGE" ] && [ -f "${IMAGE%.img}.manifest" ]; then
    DIR=$(largest_directory "${IMAGE%.img}.manifest")
  fi
fi
if [ -z "$IMAGE" ]; then
  make_volume
elif [[ "$IMAGE" == *.xz ]]; then
  xz -dc "$IMAGE" > "$WORK/unpacked.img"
  IMAGE="$WORK/unpacked.img"
fi
[ -n "$DIR" ] || DIR='\'

# fls takes the directory's record number.
if [ "$DIR" = '\' ]; then
  RECORD=5
else
  RECORD=$(ifind -n "$(printf '%s' "${DIR#\\}" | tr '\\' '/')" "$IMAGE")
fi
[[ "$RECORD" =~ ^[0-9]+$ ]] || skip "ifind does not find $DIR in $IMAGE"

VELMORA_CMD=("$VELMORA" -m C: "$IMAGE" -l -f "C:$DIR")
JSON_CMD=("$VELMORA" --json -m C: "$IMAGE" -l -f "C:$DIR")
FLS_CMD=(fls "$IMAGE" "$RECORD")

listed=$("${VELMORA_CMD[@]}" | sed -n 's/^Number of files : //p')
# fls lists each named stream of a file on a line of its own, and "."-less.
fls_lines=$("${FLS_CMD[@]}" | awk -F'\t' '$2 !~ /:/' | wc -l)
echo "volume:    $IMAGE"
echo "directory: $DIR (record $RECORD)"
json_lines=$("${JSON_CMD[@]}" | grep -c '"report":"listing"')
echo "entries:   velmora $listed, velmora --json $json_lines, fls $fls_lines (fls leaves out the root's \".\")"
echo "output:    text $("${VELMORA_CMD[@]}" | wc -c) bytes, JSON $("${JSON_CMD[@]}" | wc -c) bytes"
# Peak resident memory of one run, in MiB.
peak_rss() {
  command -v /usr/bin/time >/dev/null || { echo "?"; return; }
  local file
  file=$(mktemp)
  /usr/bin/time -f '%M' -o "$file" "$@" > /dev/null 2>&1
  awk '{ v = $1 } END { printf "%.1f", v / 1024 }' "$file"
  rm -f "$file"
}
echo "peak RSS:  velmora -l $(peak_rss "${VELMORA_CMD[@]}") MiB, velmora --json -l $(peak_rss "${JSON_CMD[@]}") MiB," \
  "fls $(peak_rss "${FLS_CMD[@]}") MiB"

if command -v hyperfine >/dev/null; then
  hyperfine --warmup 2 --runs "$RUNS" --output=null \
    -n "velmora -l" "$(printf '%q ' "${VELMORA_CMD[@]}")" \
    -n "velmora --json -l" "$(printf '%q ' "${JSON_CMD[@]}")" \
    -n "fls" "$(printf '%q ' "${FLS_CMD[@]}")"
  exit 0
fi

printf 'velmora -l         %s\n' "$(wall_times "$RUNS" "${VELMORA_CMD[@]}")"
printf 'velmora --json -l  %s\n' "$(wall_times "$RUNS" "${JSON_CMD[@]}")"
printf 'fls                %s\n' "$(wall_times "$RUNS" "${FLS_CMD[@]}")"
