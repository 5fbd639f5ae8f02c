#!/usr/bin/env bash
# Which Windows builds the scripts run under wine, and through which loader,
# decided on fake loaders and a fake i386 probe: the kernels with and without
# 32-bit support need not be at hand.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tools/windows_runtime.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build-win32" "$work/build-win64"
touch "$work/build-win32/velmora.exe" "$work/build-win64/velmora.exe"
# A loader that starts the program (prints its usage), one the kernel
# refuses, and a probe of each outcome. Every loader call is logged.
printf '#!/bin/sh\necho "$0 $*" >>%s/calls\necho "Usage : Velmora.exe [-l] ..."\n' "$work" >"$work/starts"
printf '#!/bin/sh\necho "$0 $*" >>%s/calls\necho "cannot execute binary file: Exec format error" >&2\nexit 126\n' "$work" >"$work/refused"
chmod +x "$work/starts" "$work/refused"

passed=0
failed=0
# name | probe | 32-bit loader | 64-bit loader | targets | NOTE wanted | 32-bit loader may be called
cases=(
  "both kernels' programs run|/bin/true|starts|starts|win32 win64|no|yes"
  "no IA32 emulation|/bin/false|refused|starts|win64|yes|no"
  "no IA32 emulation, wine32 installed|/bin/false|starts|starts|win64|yes|no"
  "32-bit loader refused|/bin/true|refused|starts|win64|yes|yes"
  "no 32-bit loader|/bin/true|missing|starts|win64|yes|no"
  "no loader runs|/bin/false|refused|refused||yes|no"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name probe loader32 loader64 want note called32 <<<"$row"
  rm -f "$work/calls"
  shown=$(VELMORA_I386_PROBE=$probe VELMORA_WINE32=$work/$loader32 VELMORA_WINE64=$work/$loader64 \
          bash -c '. "$1/tools/windows_runtime.sh"; find_windows_targets "$2"; echo "targets: ${windows_targets[*]}"' \
          _ "$root" "$work")
  problems=()
  got=$(sed -n 's/^targets: //p' <<<"$shown")
  [ "$got" = "$want" ] || problems+=("targets '$got', wanted '$want'")
  if grep -q '^NOTE: ' <<<"$shown"; then has_note=yes; else has_note=no; fi
  [ "$has_note" = "$note" ] || problems+=("NOTE shown: $has_note, wanted $note")
  if [ "$called32" = no ] && grep -q "/$loader32 .*build-win32" "$work/calls" 2>/dev/null; then
    problems+=("the 32-bit loader was started")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: ${problems[*]}"
  fi
done

# The 64-bit build always runs through the 64-bit loader, the 32-bit one through its own.
if [ "$(VELMORA_WINE32=/a VELMORA_WINE64=/b bash -c '. "$1/tools/windows_runtime.sh"; wine_loader win32; wine_loader win64' _ "$root" | tr '\n' ' ')" = "/a /b " ]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL loaders by build"
fi

# wine32 is never installed where the kernel cannot run it; where it can and
# wine32 is missing, it is on the list.
list=$(VELMORA_I386_PROBE=/bin/false bash "$root/tools/install_windows_deps.sh" --print 2>/dev/null)
if grep -q wine32 <<<"$list"; then
  failed=$((failed + 1)); echo "FAIL install list without 32-bit support names wine32: $list"
else
  passed=$((passed + 1))
fi
list=$(VELMORA_I386_PROBE=/bin/true bash "$root/tools/install_windows_deps.sh" --print 2>/dev/null)
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" || grep -q 'wine32:i386' <<<"$list"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); echo "FAIL install list with 32-bit support lacks wine32: $list"
fi

echo "windows-runtime: $passed passed, $failed failed"
[ $failed -eq 0 ]
