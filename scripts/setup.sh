#!/usr/bin/env bash
# Installs what the build and the tests need, and nothing when all of it is there already.
# Besides the packages it fetches libwine:amd64 once into build/downloads and unpacks it there:
# its 64-bit PE files are part of the agreement test's corpus, which never fetches anything itself.
# The corpus's 32-bit files come from the installed wine32, or, where that is not installed, from
# libwine:i386 fetched the same way. The packages named in
# tests/agreement/real_signatures_expected.txt (real signed programs, for the signature agreement
# test) are fetched the same way, once each, by apt-get download or npm pack.
#   setup.sh [--release]: with --release, for scripts/release.sh, without that corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=true
[ "${1:-}" = --release ] && corpus=false
source "$root/scripts/wine_env.sh"

packages=(cmake ninja-build g++ python3 procps libgtest-dev libbenchmark-dev clang
          libclang-rt-14-dev g++-mingw-w64-i686 binutils-mingw-w64-x86-64 wine
          osslsigncode openssl wixl msitools faketime
          # A signed release with the key on a token (PKCS#11), and SoftHSM2 as the tests' token.
          libengine-pkcs11-openssl softhsm2)
# 32-bit Wine, for the deliverable itself, where the kernel runs 32-bit programs; elsewhere, or
# when it cannot be installed, the x86-64 build and 64-bit Wine run the Wine tests
# (scripts/wine_env.sh).
packages_win32=(wine32:i386)
packages_x86_64=(g++-mingw-w64-x86-64 wine64)
downloads=$root/build/downloads
# Keep in step with tests/agreement/agreement.py.
wine32_installed=/usr/lib/i386-linux-gnu/wine/i386-windows
corpus_dir() {  # corpus_dir ARCH: where libwine:ARCH's PE files are unpacked
  case "$1" in
    amd64) echo "$downloads/libwine-amd64/usr/lib/x86_64-linux-gnu/wine/x86_64-windows" ;;
    i386) echo "$downloads/libwine-i386/usr/lib/i386-linux-gnu/wine/i386-windows" ;;
  esac
}
has_files() { [ -n "$(ls -A "$1" 2>/dev/null)" ]; }
# The corpus architectures still to fetch.
corpus_missing() {
  $corpus || return 0
  has_files "$(corpus_dir amd64)" || echo amd64
  has_files "$wine32_installed" || has_files "$(corpus_dir i386)" || echo i386
}

# The packages of real signed programs still to fetch, each unpacked into a folder of its own
# named after it (keep in step with tests/agreement/real_signatures.py).
real_signatures=$downloads/real-signatures
real_signature_folder() { echo "$real_signatures/$(sed 's/[^A-Za-z0-9._+~-]/_/g' <<<"$1")"; }
real_signatures_missing() {
  $corpus || return 0
  local package
  for package in $(sed -e '/^#/d' -e 's/ | .*//' "$root/tests/agreement/real_signatures_expected.txt" |
                   sort -u); do
    [ -d "$(real_signature_folder "$package")" ] || echo "$package"
  done
}

missing_of() {  # missing_of PACKAGE...: those not installed
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      echo "$package"
  done
}
# What runs the Wine tests is there: 32-bit Wine, or the x86-64 pair where that cannot run or
# could not be installed (then it is not tried again at every run).
wine_ready() {
  if runs_32bit_programs && [ -z "$(missing_of "${packages_win32[@]}")" ]; then return 0; fi
  [ -z "$(missing_of "${packages_x86_64[@]}")" ]
}

mapfile -t missing < <(missing_of "${packages[@]}")
[ ${#missing[@]} -eq 0 ] && [ -z "$(corpus_missing)" ] && [ -z "$(real_signatures_missing)" ] &&
  wine_ready && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_install() {  # apt_install PACKAGE...
  echo "setup: installing $*"
  local try
  for try in 1 2; do
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null && return 0
    [ "$try" -lt 2 ] || return 1
    echo "setup: apt-get install failed (try $try of 2)" >&2
    sleep $((try * 10))
  done
}
# wine32 and libwine:i386 are i386 packages: 32-bit Windows programs run on the 32-bit half of
# Wine.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update for a minute or so ("File has unexpected size");
# apt keeps the lists it had, so after the last try the install goes on with those and fails
# only if a package really cannot be had.
apt_update() {
  local try
  for try in 1 2 3; do
    $sudo apt-get update -qq && return 0
    echo "setup: apt-get update failed (try $try of 3)" >&2
    [ "$try" -lt 3 ] && sleep $((try * 10))
  done
  echo "setup: going on with the package lists apt has" >&2
}
apt_update
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
if ! wine_ready; then
  if ! runs_32bit_programs; then
    echo "setup: this kernel cannot run 32-bit programs; the Wine tests will run the x86-64 build"
  elif ! apt_install "${packages_win32[@]}"; then
    echo "setup: ${packages_win32[*]} cannot be installed now; the Wine tests will run the" \
      "x86-64 build" >&2
  fi
  wine_ready || apt_install "${packages_x86_64[@]}"
fi
# Only the package lists need root; a download is the user's own file. Run by root, apt would
# first try its _apt user, which cannot write there, and warn.
sandbox=()
[ -n "$sudo" ] || sandbox=(-o APT::Sandbox::User=root)
for arch in $(corpus_missing); do
  echo "setup: fetching libwine:$arch into $downloads"
  unpacked=$downloads/libwine-$arch
  mkdir -p "$downloads"
  rm -rf "$unpacked" "$unpacked.partial" "$downloads"/libwine_*_"$arch".deb
  (cd "$downloads" && apt-get download -qq "${sandbox[@]}" "libwine:$arch")
  # Unpacked aside and moved in whole, so that a setup cut short is not taken for a finished one.
  dpkg-deb -x "$downloads"/libwine_*_"$arch".deb "$unpacked.partial"
  mv "$unpacked.partial" "$unpacked"
  rm -f "$downloads"/libwine_*_"$arch".deb
done
# The versions are pinned, so that the files stay those listed. One that can no longer be had
# leaves its folder missing, which the test names, and does not stop the rest of the setup.
real_missing=$(real_signatures_missing)
if grep -q '^npm:' <<<"$real_missing" && ! command -v npm >/dev/null; then apt_install npm; fi
for package in $real_missing; do
  echo "setup: fetching $package into $real_signatures"
  folder=$(real_signature_folder "$package")
  rm -rf "$folder" "$folder.partial" "$folder.unavailable"
  mkdir -p "$folder.partial"
  if case "$package" in
       deb:*) (cd "$folder.partial" && apt-get download -qq "${sandbox[@]}" "${package#deb:}") &&
                dpkg-deb -x "$folder.partial"/*.deb "$folder.partial" && rm "$folder.partial"/*.deb ;;
       npm:*) (cd "$folder.partial" && npm pack --silent "${package#npm:}" >/dev/null) &&
                tar -xzf "$folder.partial"/*.tgz -C "$folder.partial" && rm "$folder.partial"/*.tgz ;;
       *) false ;;
     esac 2>"$folder.error"; then
    # Moved in whole, so that a setup cut short is not taken for a finished one.
    mv "$folder.partial" "$folder"
    rm -f "$folder.error"
  else
    # Kept, so that the test can tell a package this machine could not fetch (a registry out of
    # reach, a proxy whose certificate the package tool does not trust) from one never fetched.
    mv "$folder.error" "$folder.unavailable"
    echo "setup: $package cannot be fetched; wine.real_signatures will name it:" >&2
    tail -n 3 "$folder.unavailable" | sed 's/^/setup:   /' >&2
    rm -rf "$folder.partial"
  fi
done
