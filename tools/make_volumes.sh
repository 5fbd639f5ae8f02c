#!/bin/bash
# Builds the NTFS test volumes and their manifests.
#
# Rebuilding (as root, on a machine with /dev/fuse):
#   tools/install_volume_tools.sh            # ntfs-3g, sleuthkit, attr, xz-utils, python3
#   tools/make_volumes.sh                    # the small set -> tests/data/<name>.img.xz + .manifest
#   tools/make_volumes.sh --large OUTDIR     # the large set -> OUTDIR/<name>.img + .manifest
#   tools/make_volumes.sh --only c4k         # one volume of the small set
#
# Every volume is formatted by mkntfs on a plain file (quick format, fixed
# label, times zeroed, serial number fixed afterwards) and filled through an
# ntfs-3g mount with the Windows stream interface (file:stream). After the
# unmount, tools/volume_manifest.py records what Sleuth Kit's fls, istat and
# icat report about the image; tests/data/README.md gives the line format.
#
# The small set (committed, xz-packed):
#   c512   512-byte sectors,  512-byte clusters: 1 KiB records of two clusters;
#          the MFT grown into 9-cluster holes, so records lie split across runs
#   c4k    512-byte sectors, 4 KiB clusters: the MFT in many one-cluster runs;
#          frag\fragmented.bin in 280 runs, its $DATA over two extents
#   c64k   512-byte sectors, 64 KiB clusters: index blocks smaller than a cluster
#   c128k  512-byte sectors, 128 KiB clusters: boot byte 0x0D is 0xF8
#   s4k    4096-byte sectors, 4 KiB clusters: 4 KiB file records
# Each holds the common tree: resident, non-resident and sparse values, hard
# links, 8.3 names, named streams, a 12-level path, CJK and non-BMP names, a
# 300-name directory, one file spilling into extension records by many long
# hard-link names and one by many streams; compressed files where the cluster
# size allows it (up to 4 KiB); files with security descriptors set through
# system.ntfs_acl (SACL, mandatory label, object and inherited ACEs, ACE types
# not kept, null and empty DACL, unknown SIDs). The fragmentation phase comes
# first, on the fresh volume: small files, the rest filled, small files
# deleted so that only holes stay free, then new records (the MFT grows into
# the holes) and a file written into the holes (one run per hole). After the
# unmount, $LogFile gets restart pages and two record pages with known log
# record headers (one straddling a sector end, read right only after the
# update sequence fixup).
#
# The content volume (committed, tests/data/content/; --only content):
#   content  4 KiB clusters: LZNT1-compressed files (ntfs-3g's compression
#            option), sparse files, an initialized size short of the size, a
#            sparse file over 4 GiB, named streams, and files in Windows'
#            system compression (XPRESS 4K/8K/16K, LZX) packed by
#            tools/wof_pack.c with wimlib's compressors. Each file is also
#            made in a work directory by the same calls, and the manifest's
#            content lines give the size and SHA-256 of those bytes.
#
# The deleted volume (committed, tests/data/deleted/; --only deleted):
#   deleted  4 KiB clusters: tools/volume_churn.py creates, renames and
#            deletes some 10,500 names in directories of 10 to 5,000
#            entries and logs each operation (deleted.log beside the image).
#
# The large set (built on demand into OUTDIR, not committed):
#   bigdir  4 KiB clusters: \huge holds 60,000 names (some CJK), an index of
#           three levels and more
#   values  4 KiB clusters: values of 0x8000000 and 0x8000001 bytes (sparse),
#           and 128 MiB written into 2048 holes (frag\fragmented.bin)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT="$ROOT/tests/data"
MODE=small
ONLY=
SUBDIR=
while [ $# -gt 0 ]; do
  case "$1" in
    --large) MODE=large; OUT=${2:?--large needs an output directory}; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
    *) echo "make_volumes.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

[ "$(id -u)" -eq 0 ] || { echo "make_volumes.sh: run as root (mounting needs it)" >&2; exit 1; }
[ -c /dev/fuse ] || { echo "make_volumes.sh: no /dev/fuse" >&2; exit 1; }
for tool in mkntfs ntfs-3g fls istat icat setfattr xz python3 cc; do
  command -v "$tool" >/dev/null || { echo "make_volumes.sh: $tool missing; run tools/install_volume_tools.sh" >&2; exit 1; }
done

mkdir -p "$OUT"
WORK=$(mktemp -d /tmp/make_volumes.XXXXXX)
MNT="$WORK/mnt"
mkdir -p "$MNT"
NTFS_PID=

cleanup() {
  cd /
  if mountpoint -q "$MNT"; then umount "$MNT" || true; fi
  if [ -n "$NTFS_PID" ]; then wait "$NTFS_PID" 2>/dev/null || true; fi
  if [ -n "${KEEP_WORK:-}" ]; then echo "work directory kept: $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# Content and image edits: tools/volume_fill.py.
FILL="$ROOT/tools/volume_fill.py"
gen() { python3 "$FILL" "$@"; }

# A fixed serial number, derived from the name, in the boot sector and its
# backup in the last sector (mkntfs draws it at random).
set_serial() {
  local img=$1 name=$2 sector=$3
  local serial backup
  serial=$(printf '%s' "$name" | sha256sum | cut -c1-16)
  backup=$(( $(stat -c %s "$img") / sector - 1 ))
  for s in 0 "$backup"; do
    printf '%s' "$serial" | xxd -r -p | dd of="$img" bs=1 seek=$(( s * sector + 0x48 )) conv=notrunc status=none
  done
}

# mkvol NAME SIZE_MIB SECTOR CLUSTER
mkvol() {
  local name=$1 mib=$2 sector=$3 cluster=$4
  IMG="$WORK/$name.img"
  NOTES="$WORK/$name.notes"
  VOLNAME=$name
  CLUSTER=$cluster
  SECTOR=$sector
  : > "$NOTES"
  rm -f "$IMG"
  truncate -s "${mib}M" "$IMG"
  mkntfs -F -Q -T -q -L "$name" -s "$sector" -c "$cluster" "$IMG" >/dev/null 2>&1 \
    || { echo "mkntfs failed for $name" >&2; exit 1; }
  set_serial "$IMG" "$name" "$sector"
}

# mount_vol [OPTION]: ntfs-3g with the Windows stream interface (and OPTION).
mount_vol() {
  ntfs-3g -o "no_detach,streams_interface=windows${1:+,$1}" "$IMG" "$MNT" > "$WORK/ntfs-3g.log" 2>&1 &
  NTFS_PID=$!
  for _ in $(seq 100); do
    mountpoint -q "$MNT" && return 0
    sleep 0.1
  done
  echo "ntfs-3g did not mount $IMG" >&2
  cat "$WORK/ntfs-3g.log" >&2
  exit 1
}

# What the mounted volume holds: record number (ntfs-3g's inode number), D or
# F, path; the manifest must agree with it.
list_mounted() {
  (cd "$MNT" && find . -mindepth 1 -printf '%i\t%y\t%P\n') |
    awk -F'\t' 'BEGIN { OFS = "\t" } { gsub("/", "\\", $3); print $1, ($2 == "d" ? "D" : "F"), "\\" $3 }' \
    > "$WORK/$VOLNAME.listing"
}

# ntfs-3g writes lazily: the image is complete only once the process has ended.
umount_vol() {
  sync
  umount "$MNT"
  wait "$NTFS_PID" || true
  NTFS_PID=
}

note() { printf '%s\n' "$(IFS=$'\t'; echo "$*")" >> "$NOTES"; }

# setshort DIR NAME SHORT: an 8.3 name through ntfs-3g's extended attribute.
setshort() {
  setfattr -n system.ntfs_dos_name -v "$3" "$MNT/$1/$2"
  note short "$(winpath "$1/$2")" "$3"
}

winpath() { local p=${1#.}; p=${p#/}; p="\\${p//\//\\}"; printf '%s' "$p"; }

populate_common() {
  local m=$MNT c=$CLUSTER
  cd "$m"
  printf 'Velmora test volume %s\n' "$VOLNAME" > readme.txt
  printf 'Letter case of the name differs from how it is looked up.\n' > MixedCase.TXT

  # Values: resident, one run, sparse with holes at the start, between the
  # pieces and at the end, and one sparse file that ends in data.
  mkdir data
  gen text data/nonresident.bin 40000
  gen random data/random.bin 12345
  gen truncate data/sparse.bin $(( 16 * c ))
  gen text data/sparse.bin $(( 2 * c )) $(( 3 * c ))
  gen text data/sparse.bin $(( c + c / 2 )) $(( 9 * c ))
  gen truncate data/sparse-end.bin $(( 4 * c ))
  gen text data/sparse-end.bin $(( c / 2 + 100 )) $(( 6 * c ))
  printf '' > data/empty.txt

  # Hard links, in one directory and across two.
  mkdir links
  printf 'one file, three names\n' > links/original.txt
  ln links/original.txt "links/second name.txt"
  ln links/original.txt hardlink-at-root.txt

  # 8.3 names (ntfs-3g makes none by itself).
  printf 'a long name with an 8.3 alias\n' > "Long File Name Document.txt"
  setshort . "Long File Name Document.txt" "LONGFI~1.TXT"
  mkdir "Program Files Long"
  setshort . "Program Files Long" "PROGRA~1"
  printf 'inside\n' > "Program Files Long/Configuration Settings.ini"
  setshort "Program Files Long" "Configuration Settings.ini" "CONFIG~1.INI"
  printf 'cjk long name\n' > "日本語の長いファイル名.txt"
  setshort . "日本語の長いファイル名.txt" "JAPANE~1.TXT"

  # Named streams, resident and not, one with a CJK name.
  printf 'the unnamed stream\n' > streams.txt
  printf 'alpha stream\n' > streams.txt:alpha
  gen text streams.txt:beta 20000
  printf 'stream with a CJK name\n' > 'streams.txt:日本語'

  # Twelve directories deep.
  local deep=deep
  mkdir deep
  for i in $(seq -w 2 12); do deep="$deep/level$i"; mkdir "$deep"; done
  printf 'twelve levels down\n' > "$deep/deep file.txt"

  # Names beyond ASCII: CJK, Hangul, accented Latin, Greek, and two outside
  # the BMP (U+1F600, U+20000) stored as surrogate pairs.
  mkdir unicode
  printf 'ja\n' > unicode/日本語.txt
  mkdir unicode/中文目录
  printf 'zh\n' > unicode/中文目录/文件.txt
  printf 'ko\n' > unicode/한국어.txt
  printf 'de\n' > "unicode/Ärger über straße.txt"
  printf 'el\n' > unicode/Σίσυφος.txt
  printf 'emoji\n' > "unicode/😀 smile.txt"
  printf 'ext-b\n' > "unicode/𠀀 ideograph.txt"
  mkdir "unicode/😀 dir"
  printf 'in emoji dir\n' > "unicode/😀 dir/𠀀.txt"

  # A directory large enough for an $INDEX_ALLOCATION.
  mkdir bigdir
  for i in $(seq -w 0 249); do : > "bigdir/file-$i.txt"; done
  for i in $(seq -w 0 39); do : > "bigdir/項目-$i.txt"; done
  for i in $(seq -w 0 9); do : > "bigdir/😀-$i"; done

  # Attributes spilling into extension records ($ATTRIBUTE_LIST): one file
  # with many long hard-link names, one with many named streams.
  mkdir manylinks
  printf 'many names\n' > manylinks/base.txt
  local long
  long=$(printf 'x%.0s' $(seq 200))
  for i in $(seq -w 1 "$LINKS"); do ln manylinks/base.txt "manylinks/link-$i-$long.txt"; done
  printf 'many streams\n' > manystreams.txt
  for i in $(seq -w 1 30); do gen text "manystreams.txt:stream-$i" 400; done
  gen text manystreams.txt:big-1 5000
  gen text manystreams.txt:big-2 9000
  cd /
}

# Compressed files: the directory's compressed attribute makes new files
# compressed. Text packs; random bytes stay stored; zero units become holes.
populate_compressed() {
  local c=$CLUSTER
  cd "$MNT"
  mkdir compressed
  setfattr -n system.ntfs_attrib_be -v 0x00000810 compressed
  gen text compressed/text.txt 200000
  printf 'small and resident\n' > compressed/small.txt
  local u=$(( 16 * c ))     # compression unit
  gen text compressed/mixed.bin $(( u + 100 )) 0
  gen random compressed/mixed.bin $(( u )) $(( u + 100 ))
  gen zero compressed/mixed.bin $(( 2 * u )) $(( 2 * u + 100 ))
  gen text compressed/mixed.bin 5000 $(( 4 * u + 100 ))
  gen truncate compressed/sparse-compressed.bin $(( 8 * u ))
  gen text compressed/sparse-compressed.bin $(( u / 2 )) $(( 3 * u ))
  cd /
}

# fragment HOLE N FIRST GROW RUNS, on the fresh volume: N files of HOLE
# clusters, the rest of the volume filled by one file; then FIRST of the small
# files, none next to another freed one, deleted (FIRST holes), GROW empty
# files created (the MFT grows into the holes), more small files deleted the
# same way and a file of RUNS*HOLE clusters written (one run per hole). Then
# the filling file goes, so the common tree finds room.
fragment() {
  local hole=$1 n=$2 first=$3 grow=$4 runs=$5
  local size=$(( hole * CLUSTER ))
  cd "$MNT"
  mkdir frag frag/small frag/grow
  local i name
  gen many frag/small "$n" "$size"
  gen fill frag/filler.bin "$CLUSTER"
  cd /
  umount_vol
  python3 "$ROOT/tools/volume_manifest.py" --tsk-view "$IMG" "$WORK/view.img"
  gen holes "$WORK/view.img" "$first" > "$WORK/holes"
  rm -f "$WORK/view.img"
  mount_vol
  cd "$MNT"
  for name in $(awk '$1 == "first" { print $2 }' "$WORK/holes"); do rm "frag/small/$name"; done
  for (( i = 0; i < grow; i++ )); do : > "frag/grow/g$(printf %04d $i)"; done
  for name in $(awk '$1 == "rest" { print $2 }' "$WORK/holes"); do rm "frag/small/$name"; done
  gen text frag/fragmented.bin $(( runs * size ))
  rm frag/filler.bin
  cd /
}

# Security descriptors through ntfs-3g's system.ntfs_acl: it keeps each
# distinct descriptor once in $Secure and gives the file its security id.
populate_security() {
  cd "$MNT"
  mkdir security
  local name hex
  for name in $(gen sdnames); do
    hex=$(gen sd "$name")
    printf 'descriptor %s\n' "$name" > "security/sd-$name.txt"
    setfattr -n system.ntfs_acl -v "0x$hex" "security/sd-$name.txt"
    note sd "\\security\\sd-$name.txt" "$hex"
  done
  cd /
}

# Restart and record pages into $LogFile, once the volume is unmounted.
plant_log() {
  python3 "$ROOT/tools/volume_manifest.py" --tsk-view "$IMG" "$WORK/view.img"
  gen logplant "$IMG" "$WORK/view.img" >> "$NOTES"
  rm -f "$WORK/view.img"
}

# The other small files go last, leaving their holes free. The emptied
# directory goes too: Sleuth Kit would still list names from the index blocks
# it no longer uses.
fragment_end() {
  cd "$MNT"
  rm -f frag/small/*
  rmdir frag/small
  cd /
}

# finish [BULK-DIR...]: the manifest; alike files under \bigdir, \frag\grow
# and each BULK-DIR get no attr or value lines, and on the large volumes only
# every 100th of them a record line.
finish() {
  local name=$VOLNAME
  local bulk=(--bulk-prefix '\bigdir' --bulk-prefix '\frag\grow')
  local dir
  for dir in "$@"; do bulk+=(--bulk-prefix "$dir"); done
  if [ "$MODE" = large ]; then bulk+=(--bulk-sample 100); fi
  python3 "$ROOT/tools/volume_manifest.py" "$IMG" "$name" "$NOTES" \
    --check-listing "$WORK/$name.listing" "${bulk[@]}" > "$WORK/$name.manifest"
  if [ "$MODE" = small ]; then
    mkdir -p "$OUT/$SUBDIR"
    xz -9 -T1 -c "$IMG" > "$OUT/$SUBDIR$name.img.xz"
    cp "$WORK/$name.manifest" "$OUT/$SUBDIR$name.manifest"
  else
    cp "$IMG" "$OUT/$name.img"
    cp "$WORK/$name.manifest" "$OUT/$name.manifest"
  fi
  echo "built $name: $(grep -c '^record' "$WORK/$name.manifest") records"
}

# build NAME MIB SECTOR CLUSTER LINKS COMPRESSED FRAGMENT-ARGS...
build() {
  local name=$1 mib=$2 sector=$3 cluster=$4
  LINKS=$5
  local compressed=$6
  shift 6
  if [ -n "$ONLY" ] && [ "$ONLY" != "$name" ]; then return 0; fi
  mkvol "$name" "$mib" "$sector" "$cluster"
  mount_vol
  fragment "$@"
  populate_common
  if [ "$compressed" = yes ]; then populate_compressed; fi
  populate_security
  fragment_end
  list_mounted
  umount_vol
  plant_log
  finish
}

# The large set: each volume made by its own function, named as the volume.

# 60,000 names in one directory (every 7th CJK, every 101st U+1F600): an
# index of three levels and more.
large_bigdir() {
  mkvol bigdir 160 512 4096
  mount_vol
  mkdir "$MNT/huge"
  gen names "$MNT/huge" 60000
  printf 'beside the big directory\n' > "$MNT/readme.txt"
  list_mounted
  umount_vol
  finish '\huge'
}

# Values at the write limit of -w (0x8000000 bytes, and one byte more), both
# sparse with data at each end, and 128 MiB written into 2048 holes of 64 KiB
# (frag\fragmented.bin, many runs over several extents).
large_values() {
  mkvol values 448 512 4096
  mount_vol
  fragment 16 4200 0 0 2048
  cd "$MNT"
  mkdir limit
  gen truncate limit/exact.bin $(( 0x8000000 ))
  gen text limit/exact.bin 100000 0
  gen text limit/exact.bin 100000 $(( 0x8000000 - 100000 ))
  gen truncate limit/over.bin $(( 0x8000001 ))
  gen text limit/over.bin 100000 0
  gen text limit/over.bin 100001 $(( 0x8000000 - 100000 ))
  cd /
  fragment_end
  list_mounted
  umount_vol
  finish
}

# The content volume: values whose content differs from their stored
# bytes. Every file is made twice with the same calls, on the mount and in
# WORK/src, so the bytes written into it are known apart from any reader of
# the image: a `content` note gives their size and SHA-256 (sparse holes read
# as zeros, a WOF file's uncompressed bytes).

# Builds tools/wof_pack.c (wimlib's XPRESS and LZX compressors) once.
wof_pack() {
  if [ ! -x "$WORK/wof_pack" ]; then
    cc -O2 -o "$WORK/wof_pack" "$ROOT/tools/wof_pack.c" -lwim \
      || { echo "make_volumes.sh: cannot build tools/wof_pack.c (cc, libwim-dev)" >&2; exit 1; }
  fi
  "$WORK/wof_pack" "$@"
}

# both CMD PATH ARGS...: one tools/volume_fill.py call on the mount and on
# the copy in WORK/src (PATH relative to both; file:stream names a stream on
# the mount and the file "file:stream" in the copy).
both() {
  local cmd=$1 path=$2
  shift 2
  mkdir -p "$(dirname "$WORK/src/$path")"
  gen "$cmd" "$WORK/src/$path" "$@"
  gen "$cmd" "$MNT/$path" "$@"
}

# content PATH [STREAM]: the note of what was written (size, SHA-256).
content_note() {
  local path=$1 stream=${2:--} src=$WORK/src/$1 size sum
  [ "$stream" = - ] || src="$src:$stream"
  size=$(stat -c %s "$src")
  sum=$(sha256sum < "$src" | cut -d' ' -f1)
  note content "$(winpath "$path")" "$stream" "$size" "$sum"
}

# wof ALGORITHM PATH [RAW-CHUNK]...: the copy in WORK/src (made before) put
# on the mount as Windows' system compression leaves a file: the chunks in
# the WofCompressedData stream, the unnamed $DATA sparse with the
# uncompressed size, and the reparse point (tag 0x80000017, the file
# provider and the algorithm; see tools/wof_pack.c).
wof() {
  local algorithm=$1 path=$2
  shift 2
  wof_pack "$algorithm" "$WORK/src/$path" "$WORK/packed" "$@"
  : > "$MNT/$path"
  gen truncate "$MNT/$path" "$(stat -c %s "$WORK/src/$path")"
  cat "$WORK/packed" > "$MNT/$path:WofCompressedData"
  setfattr -n system.ntfs_reparse_data -v "0x$(wof_pack --reparse "$algorithm")" "$MNT/$path"
  content_note "$path"
}

# It holds a tree of its own, so it lies apart (tests/data/content/) from
# the volumes of the common tree, which many tests walk alike.
content_volume() {
  SUBDIR=content/
  mkvol content 48 512 4096
  mount_vol compression
  local c=$CLUSTER u=$(( 16 * 4096 ))
  cd "$MNT"
  # LZNT1 through ntfs-3g's compression option: text packs, random bytes stay
  # stored, zero units become holes; one file spans more than a MiB.
  mkdir compressed
  setfattr -n system.ntfs_attrib_be -v 0x00000810 compressed
  both text compressed/text.txt 300000
  both random compressed/random.bin 150000
  both text compressed/mixed.bin $(( u + 100 )) 0
  both random compressed/mixed.bin $u $(( u + 100 ))
  both zero compressed/mixed.bin $(( 2 * u )) $(( 2 * u + 100 ))
  both text compressed/mixed.bin 5000 $(( 4 * u + 100 ))
  both text compressed/large.txt $(( 1300 * 1024 )) 0
  both random compressed/large.txt 40000 $(( 700 * 1024 ))
  both text compressed/truncated.txt 30000
  both truncate compressed/truncated.txt 200000
  for f in text.txt random.bin mixed.bin large.txt truncated.txt; do content_note "compressed/$f"; done

  # Sparse values: holes at the start, in the middle and at the end; a file
  # whose initialized size stops short of its size (written, then extended:
  # ntfs-3g leaves the initialized size where the data ended); a file of
  # more than 4 GiB with data at both ends (and a cluster of it every 32 MiB
  # between them: Sleuth Kit refuses a hole longer than the volume).
  mkdir sparse
  both truncate sparse/holes.bin $(( 40 * c ))
  both text sparse/holes.bin $(( 3 * c )) $(( 8 * c ))
  both random sparse/holes.bin $(( 2 * c + 77 )) $(( 20 * c ))
  both text sparse/initialized.bin 10000
  both truncate sparse/initialized.bin 100000
  local huge=$(( 5 * 1024 * 1024 * 1024 + 12345 ))
  both truncate sparse/huge.bin $huge
  both text sparse/huge.bin 65536 0
  both text sparse/huge.bin 70000 $(( huge - 70000 ))
  local at
  for (( at = 32 << 20; at < huge - (32 << 20); at += 32 << 20 )); do
    both text sparse/huge.bin "$c" "$at"
  done
  for f in holes.bin initialized.bin huge.bin; do content_note "sparse/$f"; done

  # Named streams, resident and not, beside the unnamed one.
  both text streams.txt 3000
  printf 'a resident stream\n' > "$WORK/src/streams.txt:small"
  cp "$WORK/src/streams.txt:small" "$MNT/streams.txt:small"
  both random streams.txt:big 50000
  content_note streams.txt
  content_note streams.txt small
  content_note streams.txt big

  # System compression: each algorithm; a chunk stored as it is (forced,
  # and random chunks that do not pack); files of many chunks ending in a
  # partial one; one smaller than a chunk (a table without entries).
  mkdir wof "$WORK/src/wof"
  gen text "$WORK/src/wof/xpress4k.txt" 100000
  wof xpress4k wof/xpress4k.txt 2
  gen text "$WORK/src/wof/xpress8k.bin" 60000
  gen random "$WORK/src/wof/xpress8k.bin" 20000 30000
  wof xpress8k wof/xpress8k.bin
  gen text "$WORK/src/wof/xpress16k.txt" 150001
  wof xpress16k wof/xpress16k.txt 0
  gen text "$WORK/src/wof/lzx.txt" 400000
  gen random "$WORK/src/wof/lzx.txt" 40000 100000
  wof lzx wof/lzx.txt 5
  gen text "$WORK/src/wof/small.txt" 3000
  wof xpress4k wof/small.txt
  cd /
  list_mounted
  umount_vol
  finish
}

# The deleted volume: names created, renamed (within a directory and
# across) and deleted by tools/volume_churn.py, which logs every operation;
# the log lies beside the image (tests/data/deleted/deleted.log). Directories
# of 10 to 5,000 names, some emptied: index blocks split, merge and are
# freed; records freed early are given to later files.
deleted_volume() {
  SUBDIR=deleted/
  mkvol deleted 16 512 4096
  mount_vol
  python3 "$ROOT/tools/volume_churn.py" "$MNT" "$WORK/deleted.log"
  list_mounted
  umount_vol
  local bulk=() dir
  for dir in '\small' '\emptied-small' '\emptied' '\new-name' '\unicode' '\mid' '\moves-a' '\moves-b' '\big'; do
    bulk+=(--bulk-prefix "$dir")
  done
  python3 "$ROOT/tools/volume_manifest.py" "$IMG" deleted "$NOTES" \
    --check-listing "$WORK/deleted.listing" --bulk-sample 100 "${bulk[@]}" > "$WORK/deleted.manifest"
  mkdir -p "$OUT/$SUBDIR"
  xz -9 -T1 -c "$IMG" > "$OUT/${SUBDIR}deleted.img.xz"
  cp "$WORK/deleted.manifest" "$OUT/${SUBDIR}deleted.manifest"
  cp "$WORK/deleted.log" "$OUT/${SUBDIR}deleted.log"
  echo "built deleted: $(grep -c '^record' "$WORK/deleted.manifest") record lines, $(grep -vc '^#' "$WORK/deleted.log") operations"
}

if [ "$MODE" = large ]; then
  for vol in bigdir values; do
    if [ -z "$ONLY" ] || [ "$ONLY" = "$vol" ]; then "large_$vol"; fi
  done
fi

if [ "$MODE" = small ]; then
  #     name   MiB sector cluster links compr  hole   n first grow runs
  build c512    8   512     512     6   yes      9  800   40  120  320
  build c4k     8   512    4096     6   yes      1  700   40  150  280
  build c64k   16   512   65536     6   no       1   40    8  200    8
  build c128k  16   512  131072     6   no       1   24    4  300    6
  build s4k     8  4096    4096    12   yes      1  300   40   80   60
  if [ -z "$ONLY" ] || [ "$ONLY" = content ]; then content_volume; fi
  if [ -z "$ONLY" ] || [ "$ONLY" = deleted ]; then deleted_volume; fi
fi
