#!/usr/bin/env bash
# Builds both Windows targets (tools/build_windows.sh) and tests them under
# wine: the unit tests built for 32-bit Windows, then the end-to-end
# comparison of both velmora.exe with the Linux build on every test volume
# (tools/wine_e2e.sh). The runs are skipped, with a message saying so, only
# where wine or FUSE is missing. Each build runs through its own loader
# (tools/windows_runtime.sh); where the kernel or wine cannot run 32-bit
# programs, the 32-bit build is built, a NOTE says so, and the 64-bit one
# is tested instead.
#   VELMORA_WINDOWS_TESTS=all tools/test_windows.sh    unit tests of both targets
#   VELMORA_LINUX_BUILD=DIR                            the Linux build to compare with (build)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/windows_runtime.sh

bash tools/install_windows_deps.sh
bash tools/build_windows.sh

if [ ! -x "$VELMORA_WINE64" ]; then
  echo "SKIPPED: Windows tests under wine: wine is not installed (tools/install_windows_deps.sh installs it)"
  exit 0
fi

prefix=$(mktemp -d /tmp/velmora-wine.XXXXXX)
# The 64-bit loader sets up the prefix and starts wine's own programs: the
# wrapper would pick the 32-bit loader wherever wine32 is installed.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
# One server for every run (wine starts one per run otherwise).
wineserver -p 2>/dev/null || true
WINELOADER=$VELMORA_WINE64 "$VELMORA_WINE64" wineboot.exe -i >/dev/null 2>&1 || true

find_windows_targets .
targets=("${windows_targets[@]}")
if [ ${#targets[@]} -eq 0 ]; then
  echo "wine runs neither velmora.exe (tried $VELMORA_WINE32 and $VELMORA_WINE64)" >&2
  exit 1
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
  # Under tests/data itself (the common tree) and in folders of their own
  # (a volume named "content/content" is looked for as unpacked/content/content.img).
  for archive in tests/data/*.img.xz tests/data/*/*.img.xz; do
    [ -e "$archive" ] || continue
    relative=${archive#tests/data/}
    mkdir -p "build-$target/unpacked/$(dirname "$relative")"
    xz -dc "$archive" >"build-$target/unpacked/${relative%.xz}"
  done
  echo "unit tests of the $target build under wine"
  # The damaged-volume campaign damages every 64th byte here: the native runs cover every byte.
  for tests in velmora_tests velmora_allocation_tests; do
    if ! VELMORA_CAMPAIGN_STRIDE=64 "$(wine_loader "$target")" "build-$target/$tests.exe" --gtest_brief=1 </dev/null; then
      status=1
    fi
  done
done

# The Linux build compared with (tools/test.sh has built it in CI).
linux_dir=${VELMORA_LINUX_BUILD:-build}
[ -f "$linux_dir/CMakeCache.txt" ] || cmake -S . -B "$linux_dir" >/dev/null
cmake --build "$linux_dir" -j"$(nproc)" --target velmora >/dev/null
linux=$linux_dir/velmora
exes=()
for target in "${targets[@]}"; do exes+=("$target=build-$target/velmora.exe"); done
export VELMORA_WINE32 VELMORA_WINE64
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
