#!/bin/bash
# Installs what tools/make_volumes.sh needs: mkntfs and ntfs-3g (ntfs-3g),
# fls/istat/icat (sleuthkit), setfattr (attr), xz (xz-utils), python3, and
# a C compiler with wimlib (gcc, libwim-dev) for tools/wof_pack.c.
# Run as root; installs only what is missing, without questions.
set -euo pipefail

declare -A need=(
  [ntfs-3g]=/usr/bin/ntfs-3g
  [sleuthkit]=/usr/bin/istat
  [xz-utils]=/usr/bin/xz
  [attr]=/usr/bin/setfattr
  [python3]=/usr/bin/python3
  [gcc]=/usr/bin/cc
  [libwim-dev]=/usr/include/wimlib.h
)
missing=()
for pkg in "${!need[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
     || [ ! -x "${need[$pkg]}" ]; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install_volume_tools.sh: missing ${missing[*]}; run as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
