# How this machine runs a Windows build under Wine. Sourced by every script that starts Wine.
# shellcheck shell=bash

# Whether this kernel runs 32-bit x86 programs: some have no IA-32 emulation, and there every
# i386 program, 32-bit Wine's loader included, fails with "Exec format error". Tried with a
# 96-byte static ELF of our own that only exits, so that nothing 32-bit need be installed; it is
# written beside the build (a /tmp mounted noexec would refuse it for another reason). Only that
# error says no: a probe that cannot run for any other reason keeps the answer yes, so that a
# broken 32-bit setup shows in the tests.
runs_32bit_programs() {
  local dir probe status=0 error
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build"
  mkdir -p "$dir"
  probe=$(mktemp "$dir/ia32-probe.XXXXXX")
  # ELF header (entry 0x08048054, one program header at 52), the segment (the whole file at
  # 0x08048000, read and execute), then: mov eax, 1; xor ebx, ebx; int 0x80 (exit(0)).
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0' >"$probe"
  printf '\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >>"$probe"
  printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0' >>"$probe"
  printf '\270\1\0\0\0\61\333\315\200\0\0\0' >>"$probe"
  chmod +x "$probe"
  error=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  ! { [ "$status" -ne 0 ] && [[ "$error" == *"Exec format error"* ]]; }
}

# The preset whose programs Wine can run here: "win32" (the deliverable), or "win64" (the same
# sources built for x86-64) on a kernel that cannot run 32-bit programs at all, where 32-bit
# Wine cannot even start, and where 32-bit Wine is not installed (scripts/setup.sh says why).
# An installed 32-bit Wine that fails keeps win32, so that it shows in the tests.
wine_preset() {
  if runs_32bit_programs && [ -e /usr/lib/wine/wine ]; then echo win32; else echo win64; fi
}

# Why wine_preset is not win32, in words that end a sentence.
why_not_win32() {
  if runs_32bit_programs; then
    echo "32-bit Wine (wine32:i386) is not installed, though this kernel runs 32-bit programs (setup says why it could not be installed)"
  else
    echo "this kernel cannot run 32-bit programs, so 32-bit Wine cannot start"
  fi
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
