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
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 900)
}

run build
if [ "${1:-}" != "--quick" ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run build-sanitize -DVELMORA_SANITIZE=ON
fi
