# How this machine runs a Windows build under Wine. Sourced by every script that starts Wine.
# shellcheck shell=bash

# The preset whose programs Wine can run here: "win32" (the deliverable), or "win64" (the same
# sources built for x86-64) on a kernel that cannot run 32-bit programs at all, where 32-bit
# Wine cannot even start. Its loader is itself a 32-bit Linux program: the shell's status 126
# ("Exec format error") tells. Any other failure keeps win32, so that it shows in the tests.
wine_preset() {
  local status=0
  /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 126 ]; then echo win64; else echo win32; fi
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
