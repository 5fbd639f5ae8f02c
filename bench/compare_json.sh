#!/bin/bash
# The -l listing of one large directory as text and as JSON Lines (--json),
# next to Sleuth Kit's fls on the same directory of the same image: wall
# time (mean and best of RUNS, after a warm-up) and peak resident memory.
# Not a test: it prints numbers, and the entry counts as a sanity check.
#
#   bench/compare_json.sh IMAGE 'DIRECTORY' [RUNS]
#   VELMORA_LARGE_DATA=DIR bench/compare_json.sh     # the largest image there, its biggest directory
#
# The large volumes come from tools/make_volumes.sh --large DIR (--only
# bigdir: the 70,000-entry directory). VELMORA names the binary (default
# build-bench/velmora, then build/velmora).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
IMAGE=${1:-}
DIR=${2:-}
RUNS=${3:-10}
VELMORA=${VELMORA:-}
if [ -z "$VELMORA" ]; then
  for candidate in "$ROOT/build-bench/velmora" "$ROOT/build/velmora"; do
    [ -x "$candidate" ] && { VELMORA=$candidate; break; }
  done
fi

skip() { echo "compare_json.sh: skipped: $*"; exit 0; }
[ -n "$VELMORA" ] && [ -x "$VELMORA" ] || skip "no velmora binary (build it, or set VELMORA)"
for tool in fls ifind /usr/bin/time; do command -v "$tool" >/dev/null || skip "$tool missing"; done

if [ -z "$IMAGE" ] && [ -n "${VELMORA_LARGE_DATA:-}" ]; then
  IMAGE=$(ls -S "$VELMORA_LARGE_DATA"/*.img 2>/dev/null | head -1 || true)
  if [ -n "$IMAGE" ] && [ -f "${IMAGE%.img}.manifest" ] && [ -z "$DIR" ]; then
    DIR=$(awk -F'\t' '$1 == "path" && $4 != "\\" {
        p = $4; sub(/\\[^\\]*$/, "", p); if (p == "") p = "\\"; n[p]++ }
      END { best = "\\"; for (d in n) if (n[d] > n[best]) best = d; print best }' "${IMAGE%.img}.manifest")
  fi
fi
[ -n "$IMAGE" ] && [ -f "$IMAGE" ] || skip "no image (give IMAGE 'DIRECTORY', or set VELMORA_LARGE_DATA)"
[ -n "$DIR" ] || DIR='\'
if [ "$DIR" = '\' ]; then
  RECORD=5
else
  RECORD=$(ifind -n "$(printf '%s' "${DIR#\\}" | tr '\\' '/')" "$IMAGE")
fi
[[ "$RECORD" =~ ^[0-9]+$ ]] || skip "ifind does not find $DIR in $IMAGE"

TEXT_CMD=("$VELMORA" -m C: "$IMAGE" -l -f "C:$DIR")
JSON_CMD=("$VELMORA" --json -m C: "$IMAGE" -l -f "C:$DIR")
FLS_CMD=(fls "$IMAGE" "$RECORD")

echo "volume:    $IMAGE"
echo "directory: $DIR (record $RECORD)"
echo "entries:   text $("${TEXT_CMD[@]}" | sed -n 's/^Number of files : //p')," \
  "json $("${JSON_CMD[@]}" | grep -c '"report":"listing"')," \
  "fls $("${FLS_CMD[@]}" | awk -F'\t' '$2 !~ /:/' | wc -l)"
echo "output:    text $("${TEXT_CMD[@]}" | wc -c) bytes, json $("${JSON_CMD[@]}" | wc -c) bytes"

# Mean and best wall time of RUNS runs after a warm-up, and the peak RSS.
measure() {
  local times=() start end
  "$@" > /dev/null
  for _ in $(seq "$RUNS"); do
    start=$(date +%s%N)
    "$@" > /dev/null
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  local rss_file rss
  rss_file=$(mktemp)
  /usr/bin/time -f '%M' -o "$rss_file" "$@" > /dev/null 2>&1
  rss=$(tail -1 "$rss_file")
  rm -f "$rss_file"
  printf '%s\n' "${times[@]}" | awk -v rss="$rss" '{ s += $1; if (min == "" || $1 < min) min = $1 }
    END { printf "| %8.1f | %8.1f | %7.1f |\n", s / NR / 1000, min / 1000, rss / 1024 }'
}
echo
echo "| command           |  mean ms |  best ms | RSS MiB |"
echo "|-------------------|----------|----------|---------|"
printf '| velmora -l        %s\n' "$(measure "${TEXT_CMD[@]}")"
printf '| velmora --json -l %s\n' "$(measure "${JSON_CMD[@]}")"
printf '| fls               %s\n' "$(measure "${FLS_CMD[@]}")"
