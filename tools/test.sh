#!/usr/bin/env bash
# Builds Velmora and runs its test suite: once plain, once under
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs missing
# packages first when run as root.
#   tools/test.sh            both runs
#   tools/test.sh --quick    the plain run only
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh

run() {
  local dir=$1; shift
  # Tests on by name: tools/demo.sh shares build/, and a cache from an
  # older configuration must not leave the suite out.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 900)
}

# The volumes too large to commit (a 60,000-name directory) are built here
# when this machine can: root, /dev/fuse, mkntfs and ntfs-3g. The tests
# that need them say so and skip otherwise.
large=build/large-volumes
if [ -z "${VELMORA_LARGE_DATA:-}" ]; then
  if [ -f "$large/.complete" ]; then
    export VELMORA_LARGE_DATA=$PWD/$large
  elif [ "$(id -u)" -eq 0 ] && [ -e /dev/fuse ] && command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null; then
    mkdir -p "$large"
    # bigdir (a minute) by default; VELMORA_LARGE_SET=all adds the 448 MiB
    # "values" volume (six more minutes) for the 128 MiB -w cases.
    only=(--only bigdir)
    [ "${VELMORA_LARGE_SET:-}" = all ] && only=()
    if bash tools/make_volumes.sh --large "$large" "${only[@]}" >"$large/build.log" 2>&1; then
      touch "$large/.complete"
      export VELMORA_LARGE_DATA=$PWD/$large
    else
      echo "large test volumes could not be built (see $large/build.log); their tests skip" >&2
    fi
  else
    echo "large test volumes need root, /dev/fuse, mkntfs and ntfs-3g; their tests skip" >&2
  fi
fi

run build
# Peak memory of the damaged-volume campaign, sampled: every 256th damaged
# image (a few seconds); tools/campaign_memory.sh build 1 measures them all.
bash tools/campaign_memory.sh build 256
if [ "${1:-}" != "--quick" ]; then
  # Leaks inside the container libraries are theirs, not ours (tests/fuzz/library_crashes/).
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/fuzz/lsan_libraries.supp:print_suppressions=0 \
    run build-sanitize -DVELMORA_SANITIZE=ON
fi
