#!/bin/bash
# Throughput of "velmora -w" next to Sleuth Kit's icat, on one 128 MiB value
# stored in many runs. Not a test: it prints numbers and checks only that
# both tools wrote the same bytes.
#
#   bench/compare_write.sh [VELMORA_BINARY] [HOLE_KIB]
#
# The volume is made at run time (root, /dev/fuse, mkntfs, ntfs-3g, icat,
# istat): a 320 MiB volume is filled with HOLE_KIB files (default 128),
# every other one is deleted, and the 128 MiB file written into the holes:
# several hundred runs, more than one file record holds, so the value's
# later extents are reached through its attribute list. With far smaller
# holes the first extent may leave the base record, where -w does not look.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELMORA=${1:-$ROOT/build/velmora}
HOLE_KIB=${2:-128}
VALUE_MIB=128
VOLUME_MIB=320
ROUNDS=3

skip() { echo "compare_write.sh: skipped: $*"; exit 0; }
[ -x "$VELMORA" ] || skip "no velmora binary at $VELMORA (build it, or pass its path)"
[ "$(id -u)" -eq 0 ] || skip "making the volume needs root (ntfs-3g mount)"
[ -c /dev/fuse ] || skip "no /dev/fuse"
for tool in mkntfs ntfs-3g icat istat sha256sum; do
  command -v "$tool" >/dev/null || skip "$tool missing"
done

WORK=$(mktemp -d /tmp/compare_write.XXXXXX)
MNT=$WORK/mnt
IMG=$WORK/volume.img
mkdir -p "$MNT"
cleanup() {
  if mountpoint -q "$MNT"; then umount "$MNT" || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

truncate -s ${VOLUME_MIB}M "$IMG"
mkntfs -F -q -Q -c 4096 -L bench "$IMG" >/dev/null 2>&1
ntfs-3g "$IMG" "$MNT"

# Fill, then free every other file: holes of HOLE_KIB between used blocks.
mkdir "$MNT/fill"
i=0
while dd if=/dev/zero of="$MNT/fill/$i" bs=1K count="$HOLE_KIB" status=none 2>/dev/null; do
  i=$((i + 1))
done
rm -f "$MNT/fill/$i"
for ((j = 0; j < i; j += 2)); do rm -f "$MNT/fill/$j"; done
head -c $((VALUE_MIB << 20)) /dev/urandom > "$MNT/big.bin"
RECNO=$(stat -c %i "$MNT/big.bin")
umount "$MNT"

ID=$(istat "$IMG" "$RECNO" | sed -n 's/^Type: \$DATA (128-\([0-9]*\)).*/\1/p' | head -n 1)
# Runs: breaks in the cluster list istat prints for the value.
RUNS=$(istat "$IMG" "$RECNO" | awk '
  /^Type: \$DATA/ {on = 1; next}
  /^Type:/ {on = 0}
  on && /^[0-9 ]+$/ {for (k = 1; k <= NF; k++) {if (NR0 == 0 || $k != prev + 1) runs++; prev = $k; NR0 = 1}}
  END {print runs + 0}')
LIST=$(istat "$IMG" "$RECNO" | grep -c '^Type: \$ATTRIBUTE_LIST' || true)
[ -n "$ID" ] || skip "istat shows no \$DATA for record $RECNO"

# Best of ROUNDS wall-clock runs, in seconds.
best_of() {
  local best= t0 t1 t
  for ((r = 0; r < ROUNDS; r++)); do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || return 1
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.6f", b - a}')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN {exit !(t < b)}'; then best=$t; fi
  done
  echo "$best"
}

run_velmora() { "$VELMORA" -m C: "$IMG" -f 'C:\' -r "$(printf '%x' "$RECNO")" -w "$(printf '%x' "$ID")" "$WORK/velmora.out"; }
run_icat() { icat "$IMG" "$RECNO-128-$ID" > "$WORK/icat.out"; }

cat "$IMG" > /dev/null  # both tools read from the page cache
T_VELMORA=$(best_of run_velmora) || skip "velmora -w failed on record $RECNO id $ID (first extent outside the base record? try a larger HOLE_KIB)"
T_ICAT=$(best_of run_icat)

V_SUM=$(sha256sum < "$WORK/velmora.out" | cut -d' ' -f1)
I_SUM=$(sha256sum < "$WORK/icat.out" | cut -d' ' -f1)

rate() { awk -v s="$1" -v m="$VALUE_MIB" 'BEGIN {printf "%.1f", m / s}'; }
echo "value: record $RECNO, \$DATA id $ID, $VALUE_MIB MiB in $RUNS runs, attribute list: $([ "$LIST" -gt 0 ] && echo yes || echo no), holes of $HOLE_KIB KiB ($(( (i + 1) / 2 )) freed)"
printf '%-16s %10s %10s\n' tool seconds MiB/s
printf '%-16s %10.3f %10s\n' "velmora -w" "$T_VELMORA" "$(rate "$T_VELMORA")"
printf '%-16s %10.3f %10s\n' "icat" "$T_ICAT" "$(rate "$T_ICAT")"
if [ "$V_SUM" = "$I_SUM" ]; then echo "outputs identical ($V_SUM)"; else echo "OUTPUTS DIFFER: velmora $V_SUM, icat $I_SUM"; exit 1; fi
