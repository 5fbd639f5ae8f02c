#!/usr/bin/env bash
# Installs what building and testing Velmora needs on Debian 12, when it is
# missing. Needs root for apt-get; without root it only says what is missing.
set -euo pipefail

packages=(cmake g++ clang libclang-rt-14-dev make libgtest-dev libgmock-dev libbenchmark-dev xz-utils ntfs-3g sleuthkit attr python3 python3-jsonschema time dpkg-dev groff-base
  pkg-config libewf-dev libafflib-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils afflib-tools
  libssl-dev libwim-dev hashdeep)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq -o DPkg::Lock::Timeout=900
# Another install (CI runs two side by side) holds the lock a while: wait for it.
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=900 "${missing[@]}"
