#!/usr/bin/env bash
# A long fuzzing campaign: runs each target in chunks of up to 10 minutes until the
# CPU time it has used (user + system, measured by /usr/bin/time) reaches
# CPU_MINUTES, over the same corpora as tools/fuzz.sh, and prints one line
# per chunk: executions, coverage (edges of the instrumented code, features)
# and corpus size. Several targets may run side by side, one per core:
#   tools/fuzz_campaign.sh 30 whole_program index_walk &
#   tools/fuzz_campaign.sh 30 file_record data_runs &
# What a chunk finds is kept in tests/fuzz/regressions/<target>/, and the
# target stops there.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:?usage: tools/fuzz_campaign.sh CPU_MINUTES [TARGET...]}
shift
build=build-fuzz
targets=("$@")
. tools/fuzz_targets.sh
[ ${#targets[@]} -eq 0 ] && targets=("${fuzz_targets[@]}")

bash tools/fuzz.sh --build-only
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/fuzz/lsan_libraries.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
for target in "${targets[@]}"; do
  max_len=$(awk -v t="$target" '$1 == t { print $2 }' "$build/seeds/max_len")
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  logs=$build/campaign/$target
  mkdir -p "$corpus" "$artifacts" "$logs"
  rm -f "$artifacts"/*
  edges=""
  cpu_total=0
  chunk=0
  while [ "$cpu_total" -lt $((minutes * 60)) ]; do
    chunk=$((chunk + 1))
    log=$logs/$chunk.log
    left=$((minutes * 60 - cpu_total))
    [ $left -gt 600 ] && left=600
    set +e
    /usr/bin/time -f "%U %S" -o "$logs/$chunk.time" "$build/fuzz_$target" "$corpus" "$build/seeds/$target" \
      -dict=tests/fuzz/ntfs.dict -max_len="$max_len" -timeout=10 -rss_limit_mb=512 \
      -max_total_time=$left -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
    code=$?
    set -e
    cpu=$(tail -1 "$logs/$chunk.time" | awk '{ printf "%d", $1 + $2 }')
    cpu_total=$((cpu_total + cpu))
    [ -z "$edges" ] && edges=$(grep -oE 'Loaded 1 modules +\([0-9]+' "$log" | grep -oE '[0-9]+$' || true)
    runs=$(awk '/stat::number_of_executed_units/ { print $NF }' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1 || true)
    printf '%s chunk %d: %s CPU s (%s in all), %s runs, %s of %s edges, exit %d\n' \
      "$target" "$chunk" "$cpu" "$cpu_total" "${runs:-?}" "${cov:-cov: ?}" "${edges:-?}" "$code"
    found=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \))
    if [ -n "$found" ] || [ $code -ne 0 ]; then
      mkdir -p "tests/fuzz/regressions/$target"
      for file in $found; do cp "$file" "tests/fuzz/regressions/$target/"; done
      echo "$target stopped: see $log; inputs kept in tests/fuzz/regressions/$target/" >&2
      status=1
      break
    fi
  done
done
exit $status
