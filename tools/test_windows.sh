#!/usr/bin/env bash
# Builds both Windows targets (tools/build_windows.sh) and tests them under
# wine: the unit tests built for 32-bit Windows, then the end-to-end
# comparison of both velmora.exe with the Linux build on every test volume
# (tools/wine_e2e.sh). The runs are skipped, with a message saying so, only
# where wine or FUSE is missing; a 32-bit build that wine cannot run (no
# wine32) is built, and the 64-bit one tested instead.
#   VELMORA_WINDOWS_TESTS=all tools/test_windows.sh    unit tests of both targets
#   VELMORA_LINUX_BUILD=DIR                            the Linux build to compare with (build)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_windows_deps.sh
bash tools/build_windows.sh

if ! command -v wine >/dev/null; then
  echo "SKIPPED: Windows tests under wine: wine is not installed (tools/install_windows_deps.sh installs it)"
  exit 0
fi

prefix=$(mktemp -d /tmp/velmora-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
# One server for every run (wine starts one per run otherwise).
wineserver -p 2>/dev/null || true
wineboot -i >/dev/null 2>&1 || true

# Which builds wine runs here: without the banner and usage, a build did not start.
runs() {
  local shown
  shown=$(wine "$1" </dev/null 2>/dev/null || true)
  grep -q "^Usage : Velmora.exe" <<<"$shown"
}
targets=()
runs build-win32/velmora.exe && targets+=(win32)
runs build-win64/velmora.exe && targets+=(win64)
if [ ${#targets[@]} -eq 0 ]; then
  echo "wine runs neither velmora.exe" >&2
  exit 1
fi
if [ "${targets[0]}" != win32 ]; then
  echo "NOTE: wine cannot run 32-bit programs here (wine32 missing): the 32-bit build is built, not run"
fi
if [ "${VELMORA_WINDOWS_TESTS:-}" = all ]; then
  unit=("${targets[@]}")
else
  unit=("${targets[0]}")
fi

status=0
for target in "${unit[@]}"; do
  bash tools/build_windows.sh --tests="$target" >/dev/null
  # The test volumes, unpacked where the tests look before they would run xz.
  mkdir -p "build-$target/unpacked"
  for archive in tests/data/*.img.xz; do
    xz -dc "$archive" >"build-$target/unpacked/$(basename "$archive" .xz)"
  done
  echo "unit tests of the $target build under wine"
  # The damaged-volume campaign damages every 16th byte here: the native runs cover every byte.
  if ! VELMORA_CAMPAIGN_STRIDE=16 wine "build-$target/velmora_tests.exe" --gtest_brief=1 </dev/null; then
    status=1
  fi
done

# The Linux build compared with (tools/test.sh has built it in CI).
linux_dir=${VELMORA_LINUX_BUILD:-build}
[ -f "$linux_dir/CMakeCache.txt" ] || cmake -S . -B "$linux_dir" >/dev/null
cmake --build "$linux_dir" -j"$(nproc)" --target velmora >/dev/null
linux=$linux_dir/velmora
exes=()
for target in "${targets[@]}"; do exes+=("$target=build-$target/velmora.exe"); done
set +e
bash tools/wine_e2e.sh --linux "$linux" "${exes[@]}"
e2e=$?
set -e
if [ $e2e -eq 77 ]; then
  echo "SKIPPED: end-to-end Windows tests: mounting the test volumes needs root, /dev/fuse and ntfs-3g"
elif [ $e2e -ne 0 ]; then
  status=1
fi
exit $status
