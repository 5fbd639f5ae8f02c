# Sourced by the Windows scripts: which Windows programs this machine can run
# under wine, and through which loader.
#
# Debian's `wine` wrapper starts the 32-bit loader whenever wine32 is
# installed, even for a 64-bit program; on a kernel without IA32 emulation
# that loader fails with "Exec format error", so every run through the
# wrapper fails there. The scripts therefore name the loader of each build
# themselves, and ask the kernel, not dpkg, whether 32-bit programs run.
#
#   VELMORA_WINE32      the 32-bit loader (/usr/lib/wine/wine)
#   VELMORA_WINE64      the 64-bit loader (/usr/lib/wine/wine64)
#   VELMORA_I386_PROBE  a program run instead of the built-in i386 probe
#                       (the tests point it at one that fails)

VELMORA_WINE32=${VELMORA_WINE32:-/usr/lib/wine/wine}
VELMORA_WINE64=${VELMORA_WINE64:-/usr/lib/wine/wine64}

# Whether the kernel runs i386 programs at all. The probe is the smallest
# static i386 ELF: one PT_LOAD segment at 0x08048000 whose code, at file
# offset 0x54, is `mov eax, 1; xor ebx, ebx; int 0x80` (exit(0)). A kernel
# without IA32 emulation refuses to exec it.
kernel_runs_i386() {
  if [ -n "${VELMORA_I386_PROBE:-}" ]; then
    "$VELMORA_I386_PROBE" >/dev/null 2>&1
    return
  fi
  local probe status
  probe=$(mktemp "${TMPDIR:-/tmp}/velmora-i386.XXXXXX") || return 1
  {
    # ELF header: class 32, little-endian, ET_EXEC, EM_386, entry, phoff 52
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    # program header: PT_LOAD, offset 0, vaddr = paddr, 93 bytes, R+X
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
  } >"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1
  status=$?
  rm -f "$probe"
  return $status
}

# Whether LOADER starts EXE: without the banner and usage, it did not.
wine_starts() {
  local loader=$1 exe=$2 shown
  [ -x "$loader" ] || return 1
  shown=$("$loader" "$exe" </dev/null 2>/dev/null || true)
  grep -q "^Usage : Velmora.exe" <<<"$shown"
}

# The loader of a build label (win32, win64).
wine_loader() {
  case "$1" in
    win32) echo "$VELMORA_WINE32" ;;
    *) echo "$VELMORA_WINE64" ;;
  esac
}

# Sets windows_targets to the builds wine runs here, 32-bit first, from
# build-win32/ and build-win64/ below DIR (default .). The 32-bit build is
# tried only where the kernel runs i386 programs; a NOTE says why it is not
# run otherwise.
find_windows_targets() {
  local dir=${1:-.}
  windows_targets=()
  if ! kernel_runs_i386; then
    echo "NOTE: this kernel does not run 32-bit programs: the 32-bit build is built, not run"
  elif ! wine_starts "$VELMORA_WINE32" "$dir/build-win32/velmora.exe"; then
    echo "NOTE: wine cannot run 32-bit programs here ($VELMORA_WINE32 missing or failing): the 32-bit build is built, not run"
  else
    windows_targets+=(win32)
  fi
  if wine_starts "$VELMORA_WINE64" "$dir/build-win64/velmora.exe"; then
    windows_targets+=(win64)
  fi
}
