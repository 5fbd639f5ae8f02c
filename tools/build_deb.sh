#!/usr/bin/env bash
# Builds build-deb/velmora_<version>_<arch>.deb with CPack: the program in
# /usr/bin and its manual page, depending on the Debian packages of the
# libraries it links (found by dpkg-shlibdeps, from dpkg-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v dpkg-shlibdeps >/dev/null || { echo "dpkg-shlibdeps is missing: run tools/install_deps.sh" >&2; exit 1; }
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVELMORA_TESTS=OFF >/dev/null
nice -n 10 cmake --build build-deb -j2 --target velmora
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/velmora_*.deb)
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb"
echo "built $deb"
