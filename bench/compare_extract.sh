#!/bin/bash
# "velmora -x" next to Sleuth Kit's icat and to cat, on one volume: a 128
# MiB plain file (against icat and against cat of the same bytes from a
# plain file), a 64 MiB LZNT1-compressed file (icat decompresses it too),
# and 64 MiB in each of Windows' system compressions (XPRESS 4K/8K/16K,
# LZX; icat gives zeros for those, so only the rate is shown). Each output
# is checked against the bytes written. Not a test: it prints a table.
#
#   bench/compare_extract.sh [DIR]    # DIR/extract.img is built once (root, /dev/fuse)
#
# "-x FILE" syncs the file to disk before it renames it into place (as -w
# does); "-x - > FILE" streams like cat and icat, so that row compares the
# reading itself.
# Targets: plain at most 1.2x cat; LZNT1 at most 0.5x icat and at least
# 300 MB/s; XPRESS and LZX at least 300 MB/s (one core).
# VELMORA names the binary (default build-bench/velmora, then build/velmora);
# RUNS the runs per measure (best wall time kept, default 3).
set -euo pipefail

SCRIPT=compare_extract.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/content_volumes.sh"
for tool in icat /usr/bin/time sha256sum; do command -v "$tool" >/dev/null || skip "$tool missing"; done
HELP=$("$VELMORA" --help 2>/dev/null || true)
grep -q -- '^ *-x ' <<< "$HELP" || skip "$VELMORA has no -x"

DIR=${1:-/tmp/velmora-bench}
mkdir -p "$DIR"
IMG=$DIR/extract.img
WORK=$(mktemp -d /tmp/compare_extract.XXXXXX)
MNT=$WORK/mnt
mkdir -p "$MNT"
trap 'mountpoint -q "$MNT" && umount "$MNT"; rm -rf "$WORK"' EXIT
SRC=$DIR/extract.src
PLAIN_MIB=128
PACKED_MIB=64

if [ ! -f "$IMG" ]; then
  need_volume_tools
  mkdir -p "$SRC"
  program_bytes $(( PLAIN_MIB << 20 )) > "$SRC/plain.bin"
  head -c $(( PACKED_MIB << 20 )) "$SRC/plain.bin" > "$SRC/packed.bin"
  truncate -s 900M "$IMG.part"
  mkntfs -F -Q -q -c 4096 -L extract "$IMG.part" >/dev/null 2>&1
  mount_image "$IMG.part" "$MNT" compression
  cp "$SRC/plain.bin" "$MNT/plain.bin"
  mkdir "$MNT/lznt1"
  setfattr -n system.ntfs_attrib_be -v 0x00000810 "$MNT/lznt1"
  cp "$SRC/packed.bin" "$MNT/lznt1/packed.bin"
  for algorithm in xpress4k xpress8k xpress16k lzx; do wof_file "$algorithm" "$SRC/packed.bin" "$MNT/$algorithm.bin"; done
  unmount_image "$MNT"
  mv "$IMG.part" "$IMG"
fi
[ -f "$SRC/plain.bin" ] || skip "$SRC/plain.bin missing: remove $IMG to rebuild"

inode() { ifind -n "$1" "$IMG"; }
cat "$IMG" > /dev/null
OUT=$WORK/out.bin
check() {
  [ "$(sha256sum < "$OUT" | cut -d' ' -f1)" = "$(sha256sum < "$1" | cut -d' ' -f1)" ] || echo "  MISMATCH: $2"
}

header "plain ${PLAIN_MIB} MiB"
read -r cw cc ck < <(measure sh -c "cat '$SRC/plain.bin' > '$OUT'")
row "cat" $PLAIN_MIB "$cw" "$cc" "$ck"
read -r iw ic ik < <(measure sh -c "icat '$IMG' $(inode plain.bin) > '$OUT'")
row "icat" $PLAIN_MIB "$iw" "$ic" "$ik" "$cw"
read -r vw vc vk < <(measure "$VELMORA" -m C: "$IMG" -f 'C:\plain.bin' -x "$OUT")
row "velmora -x FILE (fsync)" $PLAIN_MIB "$vw" "$vc" "$vk" "$cw"
check "$SRC/plain.bin" "velmora -x plain.bin"
read -r vw vc vk < <(measure sh -c "'$VELMORA' -m C: '$IMG' -f 'C:\\plain.bin' -x - > '$OUT'")
row "velmora -x - > FILE" $PLAIN_MIB "$vw" "$vc" "$vk" "$cw"
check "$SRC/plain.bin" "velmora -x - plain.bin"

header "LZNT1 ${PACKED_MIB} MiB"
read -r iw ic ik < <(measure sh -c "icat '$IMG' $(inode lznt1/packed.bin) > '$OUT'")
row "icat" $PACKED_MIB "$iw" "$ic" "$ik"
check "$SRC/packed.bin" "icat lznt1/packed.bin"
read -r vw vc vk < <(measure "$VELMORA" -m C: "$IMG" -f 'C:\lznt1\packed.bin' -x "$OUT")
row "velmora -x FILE (fsync)" $PACKED_MIB "$vw" "$vc" "$vk" "$iw"
check "$SRC/packed.bin" "velmora -x lznt1/packed.bin"
read -r vw vc vk < <(measure sh -c "'$VELMORA' -m C: '$IMG' -f 'C:\\lznt1\\packed.bin' -x - > '$OUT'")
row "velmora -x - > FILE" $PACKED_MIB "$vw" "$vc" "$vk" "$iw"
check "$SRC/packed.bin" "velmora -x - lznt1/packed.bin"

header "system compression ${PACKED_MIB} MiB"
for algorithm in xpress4k xpress8k xpress16k lzx; do
  read -r vw vc vk < <(measure "$VELMORA" -m C: "$IMG" -f "C:\\$algorithm.bin" -x "$OUT")
  row "velmora -x FILE $algorithm" $PACKED_MIB "$vw" "$vc" "$vk"
  check "$SRC/packed.bin" "velmora -x $algorithm.bin"
  read -r vw vc vk < <(measure sh -c "'$VELMORA' -m C: '$IMG' -f 'C:\\$algorithm.bin' -x - > '$OUT'")
  row "velmora -x - $algorithm" $PACKED_MIB "$vw" "$vc" "$vk"
  check "$SRC/packed.bin" "velmora -x - $algorithm.bin"
done

# The same through a compressed E01, as examiners acquire: ewfacquire, fast
# deflate, 4 MiB segments. Target: at most 1.5x the raw image's time.
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -q -c fast -S 4MiB -t "$WORK/set" "$IMG" >/dev/null 2>&1 || skip "ewfacquire failed"
  E01=$WORK/set.E01
  header "through E01 ($(ls "$WORK"/set.E* | wc -l) segments)"
  for item in "plain.bin $PLAIN_MIB" "lznt1\\packed.bin $PACKED_MIB" "xpress8k.bin $PACKED_MIB"; do
    read -r file mib <<< "$item"
    read -r rw rc rk < <(measure "$VELMORA" -m C: "$IMG" -f "C:\\$file" -x "$OUT")
    row "-x $file raw" "$mib" "$rw" "$rc" "$rk"
    read -r ew ec ek < <(measure "$VELMORA" -m C: "$E01" -f "C:\\$file" -x "$OUT")
    row "-x $file E01" "$mib" "$ew" "$ec" "$ek" "$rw"
  done
fi
