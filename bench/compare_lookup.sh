#!/bin/bash
# Wall time of resolving one path whose last name is present, and one whose
# last name is absent, in a large directory: "velmora -f PATH" (the volume
# opened, the upcase table loaded, one index lookup per component) next to
# Sleuth Kit's "ifind -n PATH" on the same image. Not a test: it prints
# numbers, and checks that both tools find the same record and both miss.
# The blocks one lookup reads come from velmora_bench (BM_LookupHit,
# BM_LookupMiss), which counts them.
#
#   bench/compare_lookup.sh [IMAGE 'DIRECTORY'] [RUNS]
#
# IMAGE is a volume image and DIRECTORY its directory as the volume names it
# ('\huge'); without them, the largest volume of $VELMORA_LARGE_DATA
# (tools/make_volumes.sh --large DIR --only bigdir) and its biggest
# directory. The name present is the middle one of the directory in the
# volume's manifest (IMAGE.manifest beside a raw image), or else the
# middle of fls's listing; the absent ones are that name with "~absent"
# appended and "!absent", which sorts before every name. RUNS runs of velmora each (default 10), IFIND_RUNS of ifind
# (default 3: it takes seconds a run).
set -euo pipefail

SCRIPT=compare_lookup.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
IMAGE=${1:-}
DIR=${2:-}
RUNS=${3:-10}
IFIND_RUNS=${IFIND_RUNS:-3}
for tool in fls ifind; do command -v "$tool" >/dev/null || skip "$tool missing"; done

if [ -z "$IMAGE" ] && [ -n "${VELMORA_LARGE_DATA:-}" ]; then
  IMAGE=$(ls -S "$VELMORA_LARGE_DATA"/*.img 2>/dev/null | head -1 || true)
fi
[ -n "$IMAGE" ] && [ -f "$IMAGE" ] || skip "no image (name one, or set VELMORA_LARGE_DATA)"
MANIFEST=${IMAGE%.img}.manifest
[ -n "$DIR" ] || { [ -f "$MANIFEST" ] && DIR=$(largest_directory "$MANIFEST"); } || true
[ -n "$DIR" ] && [ "$DIR" != '\' ] || skip "no directory given and no manifest to find one in"
SLASHED=$(printf '%s' "${DIR#\\}" | tr '\\' '/')

# The middle name of the directory, as the manifest or fls lists it.
if [ -f "$MANIFEST" ]; then
  NAME=$(awk -F'\t' -v d="$DIR" '$1 == "path" && index($4, d "\\") == 1 && substr($4, length(d) + 2) !~ /\\/ {
      print substr($4, length(d) + 2) }' "$MANIFEST" | LC_ALL=C sort | awk '{ n[NR] = $0 } END { print n[int((NR + 1) / 2)] }')
else
  RECORD=$(ifind -n "$SLASHED" "$IMAGE")
  NAME=$(fls "$IMAGE" "$RECORD" | awk -F'\t' '$2 !~ /:/ { print $2 }' | LC_ALL=C sort | awk '{ n[NR] = $0 } END { print n[int((NR + 1) / 2)] }')
fi
[ -n "$NAME" ] || skip "no name found in $DIR"
ABSENT="$NAME~absent"
FIRST="!absent"

# The record number velmora resolves DIR\NAME to, or "not found".
velmora_record() {
  local reference
  reference=$("$VELMORA" -m C: "$IMAGE" -f "C:$DIR\\$1" 2>/dev/null | sed -n 's/^FILE REF : //p' || true)
  if [ -n "$reference" ]; then echo $(( 16#$reference & 0xFFFFFFFFFFFF )); else echo "not found"; fi
}
echo "volume:    $IMAGE"
echo "directory: $DIR"
echo "present:   $NAME: velmora record $(velmora_record "$NAME"), ifind $(ifind -n "$SLASHED/$NAME" "$IMAGE" 2>&1)"
for name in "$ABSENT" "$FIRST"; do
  echo "absent:    $name: velmora $(velmora_record "$name"), ifind $(ifind -n "$SLASHED/$name" "$IMAGE" 2>&1)"
done
printf 'velmora, present         %s\n' "$(wall_times "$RUNS" "$VELMORA" -m C: "$IMAGE" -f "C:$DIR\\$NAME")"
printf 'velmora, absent          %s\n' "$(wall_times "$RUNS" "$VELMORA" -m C: "$IMAGE" -f "C:$DIR\\$ABSENT")"
printf 'velmora, absent, first   %s\n' "$(wall_times "$RUNS" "$VELMORA" -m C: "$IMAGE" -f "C:$DIR\\$FIRST")"
printf 'ifind -n, present        %s\n' "$(wall_times "$IFIND_RUNS" ifind -n "$SLASHED/$NAME" "$IMAGE")"
printf 'ifind -n, absent         %s\n' "$(wall_times "$IFIND_RUNS" ifind -n "$SLASHED/$ABSENT" "$IMAGE")"
printf 'ifind -n, absent, first  %s\n' "$(wall_times "$IFIND_RUNS" ifind -n "$SLASHED/$FIRST" "$IMAGE")"
