#!/usr/bin/env bash
# Builds Velmora and runs it on the bundled sample volume: the root
# directory's listing and file record, and the volume's attribute definitions.
# Installs missing packages first when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target velmora >/dev/null
xz -dc tests/data/c4k.img.xz > build/sample.img
chmod a-w build/sample.img
set -x
./build/velmora -m C: build/sample.img -f 'C:\' -l -a -c
