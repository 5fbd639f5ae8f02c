#!/bin/bash
# "velmora --timeline" next to Sleuth Kit's "fls -r -m /" on the same volume
# images: wall time, peak memory (/usr/bin/time -v), lines written, and the
# timeline's MFT records per second and peak bytes per record. Not a test:
# it prints a table.
#
#   bench/compare_timeline.sh IMAGE...
#   bench/compare_timeline.sh --make-many DIR [RECORDS]   # build DIR/many.img first
#
# --make-many builds, once, a volume of RECORDS (default 500000) empty files
# in directories of 1000, created through an ntfs-3g mount of a fresh mkntfs
# volume (needs root, /dev/fuse, mkntfs, ntfs-3g; several minutes), then
# measures it. The 60,000-name volume comes from
# tools/make_volumes.sh --large DIR --only bigdir (DIR/bigdir.img).
# VELMORA names the binary (default build-bench/velmora, then build/velmora).
set -euo pipefail

SCRIPT=compare_timeline.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
for tool in fls /usr/bin/time; do command -v "$tool" >/dev/null || skip "$tool missing"; done

make_many() {
  local dir=$1 records=$2 image=$1/many.img mnt
  [ "$(id -u)" -eq 0 ] || skip "making the volume needs root (ntfs-3g mount)"
  [ -c /dev/fuse ] || skip "no /dev/fuse"
  mnt=$(mktemp -d /tmp/compare_timeline.XXXXXX)
  # 1 KiB records plus room for directories' index blocks.
  truncate -s $(( (records / 1024 + 256) * 3 ))M "$image"
  mkntfs -F -Q -q -c 4096 -L many "$image" >/dev/null 2>&1
  ntfs-3g -o no_detach "$image" "$mnt" >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
  mountpoint -q "$mnt" || skip "ntfs-3g did not mount $image"
  python3 - "$mnt" "$records" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for d in range(0, count, 1000):
    path = os.path.join(root, 'd%04d' % (d // 1000))
    os.mkdir(path)
    for i in range(d, min(d + 1000, count)):
        os.close(os.open(os.path.join(path, 'file-%07d.txt' % i), os.O_CREAT | os.O_WRONLY, 0o644))
PY
  umount "$mnt"
  wait "$pid" || true
  rmdir "$mnt"
}

images=()
if [ "${1:-}" = --make-many ]; then
  dir=${2:?--make-many needs a directory}
  [ -f "$dir/many.img" ] || make_many "$dir" "${3:-500000}"
  images=("$dir/many.img")
else
  images=("$@")
fi
[ ${#images[@]} -gt 0 ] || skip "no image given"

# Runs a command under /usr/bin/time -v; prints "seconds cpu_seconds peak_kib
# lines records" (records: what the timeline read, on its standard error).
measure() {
  local out err
  out=$(mktemp) err=$(mktemp)
  /usr/bin/time -v "$@" > "$out" 2> "$err" || true
  local wall cpu kib lines
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$err")
  cpu=$(awk -F': ' '/(User|System) time/ { s += $2 } END { print s }' "$err")
  kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$err")
  lines=$(wc -l < "$out")
  grep -o 'timeline: [0-9]* records read' "$err" | awk '{ print $2 }' > "$out.records" || true
  echo "$wall $cpu $kib $lines $(cat "$out.records" 2>/dev/null)"
  rm -f "$out" "$out.records" "$err"
}

# records/s by wall time and by CPU time (user + system): on a shared
# machine the wall time also counts waiting for the other processes.
printf '%-10s %-8s %9s %9s %9s %9s %8s %11s %11s %8s\n' \
  volume tool wall_s cpu_s peak_MiB lines records rec/s_wall rec/s_cpu B/record
for image in "${images[@]}"; do
  name=$(basename "$image" .img)
  read -r vs vc vk vl vr < <(measure "$VELMORA" -m C: "$image" -f 'C:\' --timeline)
  read -r ts tc tk tl _ < <(measure fls -r -m / "$image")
  awk -v n="$name" -v vs="$vs" -v vc="$vc" -v vk="$vk" -v vl="$vl" -v vr="$vr" \
      -v ts="$ts" -v tc="$tc" -v tk="$tk" -v tl="$tl" 'BEGIN {
    m = 0.001
    printf "%-10s %-8s %9.3f %9.3f %9.1f %9d %8d %11.0f %11.0f %8.0f\n", n, "velmora", vs, vc, vk / 1024, vl, vr,
      vr / (vs > m ? vs : m), vr / (vc > m ? vc : m), vk * 1024 / vr
    printf "%-10s %-8s %9.3f %9.3f %9.1f %9d\n", n, "fls", ts, tc, tk / 1024, tl
    printf "%-10s %-8s %9.4f %9.4f\n", n, "ratio", vs / (ts > m ? ts : m), vc / (tc > m ? tc : m)
  }'
done
