#!/usr/bin/env bash
# Installs what the Windows build and its tests need on Debian 12, when it is
# missing: mingw-w64 with the posix thread model (both targets), GoogleTest's
# sources (/usr/src/googletest, built by the cross compilers), and wine to run
# the results. Needs root for apt-get; without root it only says what is missing.
#
# wine runs 64-bit programs through wine64; 32-bit ones need wine32, an i386
# package: the i386 architecture is added to dpkg first. wine32 is installed
# only where the kernel runs 32-bit programs at all (tools/windows_runtime.sh
# asks it): elsewhere its loader cannot start, and it would only cost time.
# On a machine whose amd64 libraries lag behind the archive, installing
# wine32:i386 also upgrades those libraries to the archive's version
# (multiarch packages must match), about 150 MB of downloads in all.
#   tools/install_windows_deps.sh            everything this machine can run
#   tools/install_windows_deps.sh --no-32    without wine32 (the 32-bit build is then built, not run)
#   tools/install_windows_deps.sh --print    print the missing packages, install nothing
set -euo pipefail
. "$(dirname "$0")/windows_runtime.sh"

want32=1
print_only=0
for option in "$@"; do
  case "$option" in
    --no-32) want32=0 ;;
    --print) print_only=1 ;;
    *) echo "usage: $0 [--no-32] [--print]" >&2; exit 2 ;;
  esac
done
if [ $want32 -eq 1 ] && ! kernel_runs_i386; then
  echo "NOTE: this kernel does not run 32-bit programs: wine32 is not installed" >&2
  want32=0
fi

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine wine64 ntfs-3g xz-utils python3)
[ $want32 -eq 1 ] && packages+=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ $print_only -eq 1 ]; then
  echo "${missing[*]}"
  exit 0
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
if [ $want32 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq -o DPkg::Lock::Timeout=900
# Another install (CI runs two side by side) holds the lock a while: wait for it.
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}"
