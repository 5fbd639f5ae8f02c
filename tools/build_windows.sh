#!/usr/bin/env bash
# Builds velmora.exe for Windows with Debian's mingw-w64: 32-bit into
# build-win32/, 64-bit into build-win64/. Statically linked, with the
# manifest (administrator rights) and version resource. A warning in the
# program's own build fails it.
#   tools/build_windows.sh                 both velmora.exe
#   tools/build_windows.sh --tests=win32   and the test programs in build-win32 (win64, all alike)
# tools/install_windows_deps.sh installs the cross compilers.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=""
case "${1:-}" in
  "") ;;
  --tests=win32|--tests=win64|--tests=all) tests=${1#--tests=} ;;
  *) echo "usage: $0 [--tests=win32|win64|all]" >&2; exit 2 ;;
esac

for compiler in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$compiler" >/dev/null || { echo "$compiler is missing: run tools/install_windows_deps.sh" >&2; exit 1; }
done

jobs=$(nproc)
build() {
  local name=$1 toolchain=$2 triple=$3 with_tests=OFF log
  if [ "$tests" = "$name" ] || [ "$tests" = all ]; then with_tests=ON; fi
  local dir=build-$name
  # The toolchain is read at the first configuration only (CMake warns of it later).
  local first=()
  grep -q "^CMAKE_TOOLCHAIN_FILE" "$dir/CMakeCache.txt" 2>/dev/null ||
    first=(-DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake")
  cmake -S . -B "$dir" "${first[@]}" -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=$with_tests >/dev/null
  log=$dir/velmora-build.log
  cmake --build "$dir" -j"$jobs" --target velmora 2>&1 | tee "$log"
  if grep -q "warning:" "$log"; then
    echo "build_windows: warnings in the $name build of velmora.exe (see $log)" >&2
    exit 1
  fi
  # The manifest (administrator rights) and the version resource are in the program.
  local resources
  resources=$("$triple-windres" -i "$dir/velmora.exe" -O rc)
  if ! grep -q 'requestedExecutionLevel level=""requireAdministrator""' <<<"$resources" ||
     ! grep -q "VERSIONINFO" <<<"$resources"; then
    echo "build_windows: $dir/velmora.exe lacks its manifest or version resource" >&2
    exit 1
  fi
  echo "built $dir/velmora.exe"
  if [ $with_tests = ON ]; then
    cmake --build "$dir" -j"$jobs" --target velmora_tests velmora_allocation_tests
    echo "built $dir/velmora_tests.exe and $dir/velmora_allocation_tests.exe"
  fi
}

build win32 mingw-i686 i686-w64-mingw32
build win64 mingw-x86_64 x86_64-w64-mingw32
