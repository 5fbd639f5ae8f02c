#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build-fuzz) and runs each for
# SECONDS (default 60). Corpora grow in build-fuzz/corpus/<target>, seeded
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
all_targets=(whole_program data_runs file_record attribute_list index_walk security_descriptor log_record containers)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (tools/install_deps.sh installs it)" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

"$build/fuzz_seed_writer" "$build/seeds" >/dev/null
[ "$seconds" = --build-only ] && exit 0
# A smaller quarantine keeps the whole-program target well under -rss_limit_mb.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32}
# Leaks inside the container libraries are theirs (tests/fuzz/library_crashes/).
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/fuzz/lsan_libraries.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
summary=()
for target in "${targets[@]}"; do
  max_len=$(awk -v t="$target" '$1 == t { print $2 }' "$build/seeds/max_len")
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  rm -f "$artifacts"/*  # what an earlier run found is in tests/fuzz/regressions already
  log=$build/logs/$target.log
  mkdir -p "$(dirname "$log")"
  set +e
  "$build/fuzz_$target" "$corpus" "$build/seeds/$target" \
    -dict=tests/fuzz/ntfs.dict -max_len="$max_len" -timeout=10 -rss_limit_mb=512 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  status=$?
  set -e
  runs=$(awk '/stat::number_of_executed_units/ { print $NF }' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  summary+=("$(printf '%-20s %10s runs  %s  exit %d' "$target" "${runs:-?}" "${cov:-cov: ?}" "$status")")
  found=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
  if [ -n "$found" ]; then
    mkdir -p "tests/fuzz/regressions/$target"
    for file in $found; do
      cp "$file" "tests/fuzz/regressions/$target/"
      echo "fuzz: $target: kept $(basename "$file") in tests/fuzz/regressions/$target/" >&2
    done
    failed=1
  fi
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target stopped with exit $status; the end of $log:" >&2
    tail -40 "$log" >&2
    failed=1
  fi
done

printf '%s\n' "${summary[@]}"
exit $failed
