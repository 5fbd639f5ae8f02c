#!/bin/bash
# "velmora --export DIR --hash" of a whole volume next to Sleuth Kit's
# "tsk_recover -e" (which neither hashes nor decompresses system-compressed
# files): wall time, CPU time and peak memory (/usr/bin/time -v), then
# hashdeep auditing the export against the manifest velmora printed. Not a
# test: it prints a table.
#
#   bench/compare_export.sh [DIR] [FILES]   # DIR/export.img built once (root, /dev/fuse)
#
# The volume (1 GiB, 4 KiB clusters) holds FILES files (default 40,000) in
# directories of 500, about 600 MiB: sizes from 0 to 1 MiB, most small, cut
# from programs and libraries under /usr (so they pack as real files do);
# every fifth directory has the compressed attribute (LZNT1), and 200 files
# are in system compression (XPRESS 4K/8K/16K, LZX).
# Targets: at most 0.5x tsk_recover's wall time; peak memory under 64 MiB.
# VELMORA names the binary (default build-bench/velmora, then build/velmora);
# RUNS the runs of each tool (best wall time kept, default 2).
set -euo pipefail

SCRIPT=compare_export.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/content_volumes.sh"
for tool in tsk_recover /usr/bin/time; do command -v "$tool" >/dev/null || skip "$tool missing"; done
HELP=$("$VELMORA" --help 2>/dev/null || true)
grep -q -- '--export' <<< "$HELP" || skip "$VELMORA has no --export"

DIR=${1:-/tmp/velmora-bench}
FILES=${2:-40000}
RUNS=${RUNS:-2}
mkdir -p "$DIR"
IMG=$DIR/export.img
WORK=$(mktemp -d "$DIR/compare_export.XXXXXX")
MNT=$WORK/mnt
mkdir -p "$MNT"
trap 'mountpoint -q "$MNT" && umount "$MNT"; rm -rf "$WORK"' EXIT

if [ ! -f "$IMG" ]; then
  need_volume_tools
  program_bytes $(( 64 << 20 )) > "$WORK/pool.bin"
  truncate -s 1G "$IMG.part"
  mkntfs -F -Q -q -c 4096 -L export "$IMG.part" >/dev/null 2>&1
  mount_image "$IMG.part" "$MNT" compression
  python3 - "$MNT" "$FILES" "$WORK/pool.bin" <<'PY'
import os, random, subprocess, sys
root, count, pool_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
pool = open(pool_path, 'rb').read()
rng = random.Random(22)
for i in range(count):
    d = os.path.join(root, 'd%03d' % (i // 500))
    if i % 500 == 0:
        os.mkdir(d)
        if (i // 500) % 5 == 0:
            subprocess.run(['setfattr', '-n', 'system.ntfs_attrib_be', '-v', '0x00000810', d], check=True)
    # Most files small, a few large: about 15 KiB on average.
    size = min(int(rng.paretovariate(1.1) * 2000) - 2000, 1 << 20)
    at = rng.randrange(0, len(pool) - size)
    with open(os.path.join(d, 'f%06d.bin' % i), 'wb') as f:
        f.write(pool[at:at + size])
PY
  mkdir "$MNT/wof"
  head -c $(( 1 << 20 )) "$WORK/pool.bin" > "$WORK/one.bin"
  for i in $(seq 0 199); do
    algorithms=(xpress4k xpress8k xpress16k lzx)
    dd if="$WORK/pool.bin" of="$WORK/one.bin" bs=4096 skip=$(( i * 37 )) count=$(( 1 + i % 64 )) status=none
    wof_file "${algorithms[$(( i % 4 ))]}" "$WORK/one.bin" "$MNT/wof/w$i.bin"
  done
  rm -f "$WORK/pool.bin" "$WORK/one.bin"
  unmount_image "$MNT"
  mv "$IMG.part" "$IMG"
fi

cat "$IMG" > /dev/null
echo "volume: $(du -h --apparent-size "$IMG" | cut -f1), $(fls -r -p "$IMG" 2>/dev/null | grep -c '^r/r') file names (fls)"
header "export"
best_of_runs() {  # NAME OUTDIR COMMAND...: a fresh OUTDIR each run
  local name=$1 out=$2 best= line
  shift 2
  for _ in $(seq "$RUNS"); do
    rm -rf "$out"
    line=$(RUNS=1 measure "$@")
    if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then best=$line; fi
  done
  echo "$best"
}
MIB=$(du -sm --apparent-size "$IMG" | cut -f1)
read -r tw tc tk < <(best_of_runs tsk "$WORK/tsk" tsk_recover -e "$IMG" "$WORK/tsk")
row "tsk_recover -e" "$MIB" "$tw" "$tc" "$tk"
read -r vw vc vk < <(best_of_runs velmora "$WORK/velmora" sh -c \
  "'$VELMORA' -m C: '$IMG' -f 'C:\\' --export '$WORK/velmora' --hash > '$WORK/manifest'")
row "velmora --export --hash" "$MIB" "$vw" "$vc" "$vk" "$tw"
echo "exported: $(find "$WORK/velmora" -type f | wc -l) files, $(du -sm --apparent-size "$WORK/velmora" | cut -f1) MiB;" \
  "tsk_recover: $(find "$WORK/tsk" -type f | wc -l) files, $(du -sm --apparent-size "$WORK/tsk" | cut -f1) MiB"
if command -v hashdeep >/dev/null; then
  (cd "$WORK/velmora" && hashdeep -a -k "$WORK/manifest" -r . > "$WORK/audit" 2>&1) && echo "hashdeep audit: passed" ||
    { echo "hashdeep audit: FAILED"; head -5 "$WORK/audit"; }
fi

# The same export through a compressed E01 (ewfacquire, fast deflate, 4 MiB
# segments). Target: at most 1.5x the raw image's time.
if command -v ewfacquire >/dev/null; then
  ewfacquire -u -q -c fast -S 4MiB -t "$WORK/set" "$IMG" >/dev/null 2>&1 || skip "ewfacquire failed"
  read -r ew ec ek < <(best_of_runs velmora "$WORK/velmora" sh -c \
    "'$VELMORA' -m C: '$WORK/set.E01' -f 'C:\\' --export '$WORK/velmora' --hash > '$WORK/manifest.e01'")
  row "same, through E01" "$MIB" "$ew" "$ec" "$ek" "$vw"
  echo "E01: $(ls "$WORK"/set.E* | wc -l) segments; manifests $(cmp -s <(tail -n +6 "$WORK/manifest") <(tail -n +6 "$WORK/manifest.e01") && echo equal || echo DIFFER)"
fi
