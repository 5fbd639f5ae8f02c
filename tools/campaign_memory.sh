#!/usr/bin/env bash
# Peak memory of the damaged-volume campaign: runs its tests for each
# committed volume in one process under /usr/bin/time -v and prints the
# maximum resident set size. Fails above 256 MiB. The process holds the
# test binary, that volume's image and its damaged copy besides the action
# that runs, so its peak bounds the peak of any single action.
#   tools/campaign_memory.sh [BUILD_DIR [STRIDE]]
# STRIDE runs every STRIDE-th damaged image of the byte campaign (default 1:
# all of them, a few minutes; tools/test.sh samples with a larger one).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
stride=${2:-1}
limit_kib=$((256 * 1024))
tests=$build/velmora_tests
[ -x "$tests" ] || { echo "campaign_memory: $tests is not built" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "campaign_memory: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }

worst=0
for image in tests/data/*.img.xz; do
  volume=$(basename "$image" .img.xz)
  report=$(mktemp)
  VELMORA_CAMPAIGN_STRIDE=$stride /usr/bin/time -v -o "$report" "$tests" \
    --gtest_filter="*DamagedVolume*/${volume}_*:*DamagedVolume*/${volume}" >/dev/null
  kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$report")
  rm -f "$report"
  printf 'campaign %-6s maximum resident set size %6d KiB\n' "$volume" "$kib"
  [ "$kib" -gt "$worst" ] && worst=$kib
done
printf 'campaign peak: %d KiB (limit %d KiB)\n' "$worst" "$limit_kib"
[ "$worst" -le "$limit_kib" ]
