# How this machine runs a Windows build under Wine. Sourced by every script that starts Wine.
# shellcheck shell=bash

# Whether this kernel runs 32-bit x86 programs: some have no IA-32 emulation, and there every
# i386 program, 32-bit Wine's loader included, fails with "Exec format error" (status 126). Tried
# with a 96-byte static ELF of our own that only exits, so that nothing 32-bit need be installed.
runs_32bit_programs() {
  local probe status=0
  probe=$(mktemp)
  python3 - "$probe" <<'PY'
import struct, sys
base, size = 0x08048000, 96
header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
code = bytes.fromhex("b801000000" "31db" "cd80")  # exit(0)
open(sys.argv[1], "wb").write((header + segment + code).ljust(size, b"\0"))
PY
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 0 ]
}

# The preset whose programs Wine can run here: "win32" (the deliverable), or "win64" (the same
# sources built for x86-64) on a kernel that cannot run 32-bit programs at all, where 32-bit
# Wine cannot even start, and where 32-bit Wine is not installed (scripts/setup.sh says why).
# An installed 32-bit Wine that fails keeps win32, so that it shows in the tests.
wine_preset() {
  if runs_32bit_programs && [ -e /usr/lib/wine/wine ]; then echo win32; else echo win64; fi
}

# The machine field of a PE file's header, in hex: 14c for x86, 8664 for x86-64.
pe_machine() {  # pe_machine FILE
  local header
  header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$(( header + 4 )) -N2 "$1" | tr -d ' ' | sed 's/^0*//'
}

# Exports Wine's settings for the programs of BUILD_DIR, in PREFIX (default BUILD_DIR/wineprefix).
# For an x86-64 build it also puts 64-bit Wine first on PATH: Debian's "wine" (and so "wineboot")
# always takes the 32-bit loader when wine32 is installed, whatever the program.
wine_env() {  # wine_env BUILD_DIR [PREFIX]
  # Wine turns file names into Unix ones through the locale: non-ASCII names need UTF-8.
  export LANG=C.UTF-8 LC_ALL=C.UTF-8
  local build
  build=$(cd "$1" && pwd)
  export WINEPREFIX="${2:-$build/wineprefix}" WINEDEBUG=-all
  export WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d'
  [ "$(pe_machine "$build/launcher.exe")" = 8664 ] || return 0
  [ -x /usr/lib/wine/wine64 ] ||
    { echo "wine64 is not installed (scripts/setup.sh installs it on such a machine)" >&2; return 1; }
  local shims="$build/wine64-bin" name shim
  shim=$(printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec "$WINELOADER" "$@"')
  mkdir -p "$shims"
  for name in wine wine-stable; do
    # Written aside and moved in: another script may be starting Wine through it right now.
    if [ "$(cat "$shims/$name" 2>/dev/null)" != "$shim" ]; then
      echo "$shim" > "$shims/$name.$$"
      chmod +x "$shims/$name.$$"
      mv "$shims/$name.$$" "$shims/$name"
    fi
  done
  case ":$PATH:" in *":$shims:"*) ;; *) export PATH="$shims:$PATH" ;; esac
  export WINEARCH=win64
}
