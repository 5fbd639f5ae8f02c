# What bench/compare_extract.sh and bench/compare_export.sh share, sourced
# after common.sh: building their volumes once into a directory (root,
# /dev/fuse, mkntfs, ntfs-3g, cc with libwim-dev), mounting, and measuring a
# command's wall time, CPU time and peak memory.

need_volume_tools() {
  [ "$(id -u)" -eq 0 ] || skip "making the volume needs root (ntfs-3g mount)"
  [ -c /dev/fuse ] || skip "no /dev/fuse"
  local tool
  for tool in mkntfs ntfs-3g setfattr cc; do command -v "$tool" >/dev/null || skip "$tool missing"; done
}

# mount_image IMAGE MNT [OPTION]: ntfs-3g with the Windows stream interface.
mount_image() {
  ntfs-3g -o "no_detach,streams_interface=windows${3:+,$3}" "$1" "$2" >/dev/null 2>&1 &
  MOUNT_PID=$!
  for _ in $(seq 100); do mountpoint -q "$2" && return 0; sleep 0.1; done
  skip "ntfs-3g did not mount $1"
}

unmount_image() {
  sync
  umount "$1"
  wait "$MOUNT_PID" || true
}

# Bytes that pack as real files do (about 2:1 for LZNT1): the programs and
# libraries under /usr, concatenated in name order, cut or repeated to SIZE.
# (A subshell without pipefail: head ends the pipe early on purpose.)
program_bytes() (
  set +o pipefail
  find /usr/lib /usr/bin -type f -size +16k 2>/dev/null | LC_ALL=C sort | head -n 20000 |
    xargs cat 2>/dev/null | head -c "$1"
)

# wof_file ALGORITHM SOURCE MOUNTED-PATH: SOURCE put on the mount in
# Windows' system compression (see tools/wof_pack.c and tests/data/README.md).
wof_file() {
  local algorithm=$1 source=$2 path=$3 packer=$WORK/wof_pack
  [ -x "$packer" ] || cc -O2 -o "$packer" "$ROOT/tools/wof_pack.c" -lwim || skip "cannot build tools/wof_pack.c"
  "$packer" "$algorithm" "$source" "$WORK/packed"
  : > "$path"
  truncate -s "$(stat -c %s "$source")" "$path"
  cat "$WORK/packed" > "$path:WofCompressedData"
  setfattr -n system.ntfs_reparse_data -v "0x$("$packer" --reparse "$algorithm")" "$path"
  rm -f "$WORK/packed"
}

# measure COMMAND...: "wall_s cpu_s peak_KiB" of one run (output discarded
# unless the command redirects it itself); best wall of RUNS runs.
measure() {
  local err best= line
  err=$(mktemp)
  for _ in $(seq "${RUNS:-3}"); do
    /usr/bin/time -v "$@" > /dev/null 2> "$err" || true
    line=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; w = s }
      /(User|System) time/ { c += $2 } /Maximum resident set size/ { k = $2 } END { print w, c, k }' "$err")
    if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then best=$line; fi
  done
  rm -f "$err"
  echo "$best"
}

# row NAME MIB WALL CPU KIB [BASE_WALL]: one table line, MB/s by wall and
# by CPU time (on a shared machine the wall time also counts waiting), and
# the ratio to BASE_WALL.
row() {
  awk -v n="$1" -v mib="$2" -v w="$3" -v c="$4" -v k="$5" -v b="${6:-}" 'BEGIN {
    m = 0.005; if (w < m) w = m; if (c < m) c = m
    printf "%-26s %9.3f %9.3f %9.1f %9.0f %9.0f %9s\n", n, w, c, k / 1024, mib * 1.048576 / w, mib * 1.048576 / c,
      (b == "" ? "" : sprintf("%.2f", w / b))
  }'
}

header() { printf '%-26s %9s %9s %9s %9s %9s %9s\n' "$1" wall_s cpu_s peak_MiB MB/s MB/s_cpu ratio; }
