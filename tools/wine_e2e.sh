#!/usr/bin/env bash
# End-to-end runs of the Windows build under wine, through the real Win32
# path, against the Linux build on the same volumes (tools/wine_e2e.py says
# what is compared and how).
#
# For each committed test volume the wine prefix gets two links: "x::" to
# the unpacked image, so that \\.\X: opens it as a raw volume, and "x:" to
# a read-only ntfs-3g mount of the same image, so that X:\dir\file exists
# for GetFileAttributesW and PathIsDirectoryW. The Linux build reads the
# image through -m X:.
#
#   tools/wine_e2e.sh [--linux BIN] [--full] LABEL=EXE...
#
# c4k runs every case with every EXE (and its listings again in another
# time zone); the other volumes run a smaller set with the first EXE only,
# or everything with every EXE under --full. Uses $WINEPREFIX when it is
# set (its x: and x:: links are replaced), otherwise a prefix of its own.
# Needs root, /dev/fuse, ntfs-3g, wine, xz and python3; exits 77 when the
# machine cannot mount with FUSE.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/windows_runtime.sh

linux=""
full=0
exes=()
while [ $# -gt 0 ]; do
  case "$1" in
    --linux) linux=$2; shift 2 ;;
    --full) full=1; shift ;;
    *=*) exes+=("$1"); shift ;;
    *) echo "usage: $0 [--linux BIN] [--full] LABEL=EXE..." >&2; exit 2 ;;
  esac
done
[ ${#exes[@]} -gt 0 ] || { echo "usage: $0 [--linux BIN] [--full] LABEL=EXE..." >&2; exit 2; }
[ -n "$linux" ] || linux=build/velmora
[ -x "$linux" ] || { echo "wine_e2e: no Linux build at $linux" >&2; exit 2; }
for pair in "${exes[@]}"; do
  [ -f "${pair#*=}" ] || { echo "wine_e2e: no such exe: ${pair#*=}" >&2; exit 2; }
done
[ -x "$VELMORA_WINE64" ] || { echo "wine_e2e: wine64 is not installed ($VELMORA_WINE64)" >&2; exit 77; }
if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/fuse ] || ! command -v ntfs-3g >/dev/null; then
  echo "wine_e2e: mounting the test volumes needs root, /dev/fuse and ntfs-3g" >&2
  exit 77
fi

work=$(mktemp -d /tmp/velmora-wine-e2e.XXXXXX)
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
mounted=""
cleanup() {
  [ -n "$mounted" ] && { fusermount -u "$mounted" 2>/dev/null || umount "$mounted" 2>/dev/null || true; }
  rm -f "$WINEPREFIX/dosdevices/x:" "$WINEPREFIX/dosdevices/x::"
  [ $own_prefix -eq 1 ] && wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wineserver -p 2>/dev/null || true
if [ ! -d "$WINEPREFIX/dosdevices" ]; then
  WINELOADER=$VELMORA_WINE64 "$VELMORA_WINE64" wineboot.exe -i >/dev/null 2>&1 || true
fi
abs_exes=()
loaders=()
for pair in "${exes[@]}"; do
  abs_exes+=("${pair%%=*}=$(readlink -f "${pair#*=}")")
  loaders+=(--loader "${pair%%=*}=$(wine_loader "${pair%%=*}")")
done
linux=$(readlink -f "$linux")

passed=0
failed=0
tally() {  # adds the counts of a runner's last line, "...: N passed, M failed"; a runner that died fails once
  local counts
  counts=$(tail -n 1 "$1" | sed -nE 's/.*: ([0-9]+) passed, ([0-9]+) failed$/\1 \2/p')
  if [ -z "$counts" ]; then
    failed=$((failed + 1))
    return
  fi
  passed=$((passed + ${counts% *}))
  failed=$((failed + ${counts#* }))
}

status=0
for archive in tests/data/*.img.xz; do
  volume=$(basename "$archive" .img.xz)
  [ -f "tests/data/$volume.manifest" ] || continue
  image=$work/$volume.img
  xz -dc "$archive" >"$image"
  chmod a-w "$image"
  mnt=$work/mnt-$volume
  mkdir -p "$mnt"
  if ! ntfs-3g -o ro "$image" "$mnt"; then
    echo "wine_e2e: ntfs-3g cannot mount $volume here (is FUSE usable?)" >&2
    exit 77
  fi
  mounted=$mnt
  ln -sfn "$image" "$WINEPREFIX/dosdevices/x::"
  ln -sfn "$mnt" "$WINEPREFIX/dosdevices/x:"

  runner=(python3 tools/wine_e2e.py --volume "$volume" --image "$image" --manifest "tests/data/$volume.manifest"
          --linux "$linux" --work "$work/run-$volume" "${loaders[@]}")
  if [ $full -eq 1 ] || [ "$volume" = c4k ]; then
    "${runner[@]}" "${abs_exes[@]}" >"$work/$volume.log" 2>&1 || status=1
    cat "$work/$volume.log"; tally "$work/$volume.log"
    "${runner[@]}" --tz America/New_York --only ' -l' "${abs_exes[@]}" >"$work/$volume-tz.log" 2>&1 || status=1
    cat "$work/$volume-tz.log"; tally "$work/$volume-tz.log"
  else
    "${runner[@]}" --quick "${abs_exes[0]}" >"$work/$volume.log" 2>&1 || status=1
    cat "$work/$volume.log"; tally "$work/$volume.log"
  fi
  # A console (here a pseudo-terminal) takes UTF-16 through WriteConsoleW:
  # names that code page 936 cannot hold come through whole.
  if [ "$volume" = c4k ]; then
    for pair in "${abs_exes[@]}"; do
      shown=$(cd "$work" && LANG=C.UTF-8 timeout 120 script -qc "'$(wine_loader "${pair%%=*}")' '${pair#*=}' -f 'X:\\unicode' -l" /dev/null \
              </dev/null 2>&1 | tr -d '\r' || true)
      if grep -q "한국어.txt" <<<"$shown" && grep -q "Ärger über straße.txt" <<<"$shown"; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        status=1
        echo "FAIL $volume ${pair%%=*} [console]: the console did not show the Hangul and German names"
        printf '%s\n' "$shown" | tail -n 12
      fi
    done
  fi

  fusermount -u "$mnt" || umount "$mnt"
  mounted=""
done
echo "wine-e2e: $passed passed, $failed failed"
exit $status
