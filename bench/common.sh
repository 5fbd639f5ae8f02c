# What the bench/compare_*.sh scripts share, sourced by each after it sets
# SCRIPT (its name, for messages): ROOT, the velmora binary, skipping with a
# reason, the biggest directory of a manifest and a wall-time measure.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# VELMORA names the binary (default build-bench/velmora, then build/velmora).
VELMORA=${VELMORA:-}
if [ -z "$VELMORA" ]; then
  for candidate in "$ROOT/build-bench/velmora" "$ROOT/build/velmora"; do
    [ -x "$candidate" ] && { VELMORA=$candidate; break; }
  done
fi

skip() { echo "$SCRIPT: skipped: $*"; exit 0; }
[ -n "$VELMORA" ] && [ -x "$VELMORA" ] || skip "no velmora binary (build it, or set VELMORA)"

# The biggest directory of a manifest: the parent with the most path facts.
largest_directory() {
  awk -F'\t' '$1 == "path" && $4 != "\\" {
      p = $4; sub(/\\[^\\]*$/, "", p); if (p == "") p = "\\"; n[p]++ }
    END { best = "\\"; for (d in n) if (n[d] > n[best]) best = d; print best }' "$1"
}

# wall_times RUNS COMMAND...: mean and best of RUNS wall times, after one
# warm-up run; the command's output and exit status do not count.
wall_times() {
  local runs=$1 times=() start end
  shift
  "$@" > /dev/null 2>&1 || true
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1 || true
    end=$(date +%s%N)
    times+=($(( (end - start) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | awk '{ s += $1; if (min == "" || $1 < min) min = $1 }
    END { printf "mean %9.1f ms   best %9.1f ms   (%d runs)\n", s / NR / 1000, min / 1000, NR }'
}
