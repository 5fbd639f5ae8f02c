#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build-fuzz) and runs each for
# SECONDS (default 60), as many side by side as there are cores
# (VELMORA_FUZZ_JOBS overrides). Corpora grow in build-fuzz/corpus/<target>, seeded
# from the committed volumes. An input that crashes, leaks, runs out of
# memory or times out is copied to tests/fuzz/regressions/<target>/ (the
# test suite replays that directory) and the script fails.
#   tools/fuzz.sh [SECONDS] [TARGET...]
#   tools/fuzz.sh --build-only             the targets and their seeds only
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
case "$seconds" in
  --build-only) ;;
  *[!0-9]* | 0 | "") echo "usage: tools/fuzz.sh [SECONDS (1 or more)] [TARGET...] | --build-only" >&2; exit 2 ;;
esac
build=build-fuzz
. tools/fuzz_targets.sh
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${fuzz_targets[@]}")

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (tools/install_deps.sh installs it)" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF >/dev/null
build_targets=(fuzz_seed_writer)
for target in "${fuzz_targets[@]}"; do build_targets+=("fuzz_$target"); done
cmake --build "$build" -j"$(nproc)" --target "${build_targets[@]}" >/dev/null

"$build/fuzz_seed_writer" "$build/seeds" >/dev/null
[ "$seconds" = --build-only ] && exit 0
# A smaller quarantine keeps the whole-program target well under -rss_limit_mb.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32}
# Leaks inside the container libraries are theirs (tests/fuzz/library_crashes/).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/fuzz/lsan_libraries.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One target's run; its summary line and status go to files beside its log.
fuzz_one() {
  local target=$1 max_len corpus artifacts log status runs cov found file
  max_len=$(awk -v t="$target" '$1 == t { print $2 }' "$build/seeds/max_len")
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  rm -f "$artifacts"/*  # what an earlier run found is in tests/fuzz/regressions already
  log=$build/logs/$target.log
  set +e
  "$build/fuzz_$target" "$corpus" "$build/seeds/$target" \
    -dict=tests/fuzz/ntfs.dict -max_len="$max_len" -timeout=10 -rss_limit_mb=512 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  status=$?
  set -e
  runs=$(awk '/stat::number_of_executed_units/ { print $NF }' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  printf '%-20s %10s runs  %s  exit %d\n' "$target" "${runs:-?}" "${cov:-cov: ?}" "$status" >"$build/logs/$target.summary"
  found=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
  if [ -n "$found" ]; then
    mkdir -p "tests/fuzz/regressions/$target"
    for file in $found; do
      cp "$file" "tests/fuzz/regressions/$target/"
      echo "fuzz: $target: kept $(basename "$file") in tests/fuzz/regressions/$target/" >&2
    done
    status=1
  fi
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target stopped with exit $status; the end of $log:" >&2
    tail -40 "$log" >&2
  fi
  return "$status"
}

mkdir -p "$build/logs"
jobs=${VELMORA_FUZZ_JOBS:-$(nproc)}
failed=0
running=0
for target in "${targets[@]}"; do
  rm -f "$build/logs/$target.summary"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done

for target in "${targets[@]}"; do
  cat "$build/logs/$target.summary" 2>/dev/null || echo "$target: no summary (the run did not finish)"
done
exit $failed
