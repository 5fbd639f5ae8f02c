#!/usr/bin/env bash
# Builds Velmora and runs it on the bundled sample volume: the root
# directory's listing and file record, and the volume's attribute definitions.
# Installs missing packages first when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh
# The same build tree as tools/test.sh, configured the same way, so that
# either command may run first; only the program is built here.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target velmora >/dev/null
# Unpacked beside, then renamed: an interrupted run leaves no half image,
# and a read-only image from an earlier run is replaced, not written into.
rm -f build/sample.img.partial
xz -dc tests/data/c4k.img.xz > build/sample.img.partial
chmod a-w build/sample.img.partial
mv -f build/sample.img.partial build/sample.img
set -x
./build/velmora -m C: build/sample.img -f 'C:\' -l -a -c
