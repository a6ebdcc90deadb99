#!/usr/bin/env bash
# Installs what the build and the tests need, and nothing when all of it is there already.
# Besides the packages it fetches libwine:amd64 once into build/downloads and unpacks it there:
# its 64-bit PE files are part of the agreement test's corpus, which never fetches anything itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine_env.sh"

packages=(cmake ninja-build g++ python3 procps libgtest-dev libbenchmark-dev clang
          libclang-rt-14-dev g++-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine32:i386
          osslsigncode openssl)
# Only where the kernel cannot run 32-bit programs: the x86-64 build and 64-bit Wine, which run
# the Wine tests there (scripts/wine_env.sh). wine32's loader, installed first, tells.
packages_x86_64=(g++-mingw-w64-x86-64 wine64)
downloads=$root/build/downloads
# Keep in step with tests/agreement/agreement.py.
wine64=$downloads/libwine-amd64
wine64_files=$wine64/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

missing_of() {  # missing_of PACKAGE...: those not installed
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      echo "$package"
  done
}
x86_64_missing() { [ "$(wine_preset)" = win64 ] && missing_of "${packages_x86_64[@]}"; }

mapfile -t missing < <(missing_of "${packages[@]}")
have_wine64=false
[ -n "$(ls -A "$wine64_files" 2>/dev/null)" ] && have_wine64=true
[ ${#missing[@]} -eq 0 ] && $have_wine64 && [ -z "$(x86_64_missing)" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_install() {  # apt_install PACKAGE...
  echo "setup: installing $*"
  local try
  for try in 1 2 3; do
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null && return 0
    [ "$try" -lt 3 ] || return 1
    echo "setup: apt-get install failed (try $try of 3)" >&2
    sleep $((try * 10))
  done
}
# wine32 is an i386 package: 32-bit Windows programs run on the 32-bit half of Wine.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update for a minute or so ("File has unexpected size");
# apt keeps the lists it had, so after the last try the install goes on with those and fails
# only if a package really cannot be had.
apt_update() {
  local try
  for try in 1 2 3 4 5; do
    $sudo apt-get update -qq && return 0
    echo "setup: apt-get update failed (try $try of 5)" >&2
    [ "$try" -lt 5 ] && sleep $((try * 10))
  done
  echo "setup: going on with the package lists apt has" >&2
}
apt_update
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
mapfile -t missing < <(x86_64_missing)
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: this kernel cannot run 32-bit programs; the Wine tests will run the x86-64 build"
  apt_install "${missing[@]}"
fi
if ! $have_wine64; then
  echo "setup: fetching libwine:amd64 into $downloads"
  mkdir -p "$downloads"
  rm -rf "$wine64" "$wine64.partial" "$downloads"/libwine_*_amd64.deb
  # Only the package lists need root; the download is the user's own file. Run by root, apt
  # would first try its _apt user, which cannot write here, and warn.
  sandbox=()
  [ -n "$sudo" ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$downloads" && apt-get download -qq "${sandbox[@]}" libwine:amd64)
  # Unpacked aside and moved in whole, so that a setup cut short is not taken for a finished one.
  dpkg-deb -x "$downloads"/libwine_*_amd64.deb "$wine64.partial"
  mv "$wine64.partial" "$wine64"
  rm -f "$downloads"/libwine_*_amd64.deb
fi
