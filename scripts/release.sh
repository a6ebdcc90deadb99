#!/usr/bin/env bash
# Builds the release into dist/ (or $RELEASE_DIR):
#   scripts/release.sh [--sign CERTS KEY | --sign-command CMD --chain CERTS] [--timestamp URL]
#                      [PROGRAM.exe]
# launcher.exe and revision-probe.exe (32-bit, the same bytes wherever and whenever this commit
# is built), Ostra.ico, the per-user installer NorvikTools-VERSION.msi (with PROGRAM.exe as
# Norvik_Studio.exe when given), and SHA256SUMS over all of them. Installs what it needs first.
# Unsigned, every file is the same bytes for the same commit (the installer's times are
# SOURCE_DATE_EPOCH, by default the commit's time).
# Signed: the two executables are signed, the installer is built around the signed ones and
# signed, each signature is checked, and only then is dist/ replaced. CERTS is the publisher's
# certificate and its chain (PEM, the publisher's first, or one certificate in DER); KEY a PEM
# key, a PKCS#12 file or a pkcs11: URI (module in RELEASE_PKCS11_MODULE). A passphrase or PIN
# comes from RELEASE_SIGN_PASSWORD or the file RELEASE_SIGN_PASSWORD_FILE, never an argument.
# --sign-command runs CMD FILE to sign each file in place (CMD is a shell command line), and
# the result is checked against CERTS as above. --timestamp adds an RFC 3161 timestamp from URL.
# RELEASE_PRESET=win64 builds the x86-64 twin instead, for the tests on machines where 32-bit
# programs cannot run. RELEASE_REUSE_BUILD=1 takes the executables of this script's last
# finished build instead of building again (the tests sign one build many times).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/release_sign.sh"
usage() {
  echo "release: $1; usage: release.sh [--sign CERTS KEY | --sign-command CMD --chain CERTS]" \
    "[--timestamp URL] [PROGRAM.exe]" >&2
  exit 2
}
sign_mode="" certs="" key="" sign_command="" chain="" timestamp="" program=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) [ $# -ge 3 ] || usage "--sign takes CERTS and KEY"
      [ -z "$sign_mode" ] || usage "one of --sign and --sign-command"
      sign_mode=key certs=$2 key=$3; shift 3 ;;
    --sign-command) [ $# -ge 2 ] || usage "--sign-command takes CMD"
      [ -z "$sign_mode" ] || usage "one of --sign and --sign-command"
      sign_mode=command sign_command=$2; shift 2 ;;
    --chain) [ $# -ge 2 ] || usage "--chain takes CERTS"; chain=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage "--timestamp takes URL"; timestamp=$2; shift 2 ;;
    -*) usage "no option $1" ;;
    *) [ -z "$program" ] || usage "one PROGRAM.exe at most"; program=$1; shift ;;
  esac
done
if [ "$sign_mode" = command ]; then
  [ -n "$chain" ] ||
    usage "--sign-command needs --chain CERTS, the certificates its signatures are checked against"
  certs=$chain
fi
[ -z "$chain" ] || [ "$sign_mode" = command ] || usage "--chain goes with --sign-command"
[ -n "$sign_mode" ] || [ -z "$timestamp" ] || usage "--timestamp is for a signed release"
if [ -n "$program" ]; then
  [ -f "$program" ] || { echo "release: $program: no such file" >&2; exit 2; }
  program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
fi
preset=${RELEASE_PRESET:-win32}
case "$preset" in
  win32) toolchain=mingw-i686 ;;
  win64) toolchain=mingw-x86_64 ;;
  *) echo "release: RELEASE_PRESET is win32 or win64, not $preset" >&2; exit 2 ;;
esac
dist=${RELEASE_DIR:-$root/dist}
# The installer's times: the commit's, unless given.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) ||
    { echo "release: $root is no git checkout: set SOURCE_DATE_EPOCH to the commit's time" >&2
      exit 2; }
fi
export SOURCE_DATE_EPOCH

"$root/scripts/setup.sh" --release
# Made aside and moved in whole, so that dist/ is never half one release and half another; the
# signing's own files (never a secret) in a private folder beside it. Both go on every exit.
mkdir -p "$root/build"
staging=$(mktemp -d "$root/build/release-staging.XXXXXX")
private=$(mktemp -d)
trap 'rm -rf "$staging" "$private"' EXIT
[ -z "$sign_mode" ] || sign_prepare "$private"

# A build of its own, made anew each time, without the tests: nothing of a test build or an
# earlier configuration can reach the release. Its last step marks it finished.
build=$root/build/release-$preset
if [ "${RELEASE_REUSE_BUILD:-}" != 1 ] || [ ! -f "$build/release-built" ]; then
  rm -rf "$build"
  cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target launcher revision-probe
  python3 "$root/scripts/pe_checksum.py" "$build/launcher.exe" "$build/revision-probe.exe"
  touch "$build/release-built"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build" >&2; exit 1; }

chmod 755 "$staging"
cp "$build/launcher.exe" "$build/revision-probe.exe" "$staging/"
cp "$build/resources/launcher.ico" "$staging/Ostra.ico"
[ -z "$program" ] || cp "$program" "$staging/Norvik_Studio.exe"
msi=NorvikTools-$version.msi
if [ -n "$sign_mode" ]; then
  for exe in launcher.exe revision-probe.exe; do
    sign_file "$staging/$exe"
    # What is shipped must be the build and its signature, nothing else: a rebuild of the
    # commit checks it so.
    osslsigncode remove-signature -in "$staging/$exe" -out "$private/$exe" >/dev/null 2>&1 &&
      cmp -s "$private/$exe" "$build/$exe" ||
      sign_fail "$exe signed is more than the built $exe and a signature"
  done
fi
"$root/scripts/make_msi.sh" "$staging" "$version" "$staging/$msi"
# The program goes out inside the installer only: dist/ holds what the deployer handles.
rm -f "$staging/Norvik_Studio.exe"
if [ -n "$sign_mode" ]; then
  sign_file "$staging/$msi"
  for file in launcher.exe revision-probe.exe "$msi"; do verify_file "$staging/$file"; done
fi
chmod 644 "$staging"/*
(cd "$staging" && sha256sum launcher.exe revision-probe.exe Ostra.ico "$msi" > SHA256SUMS)

rm -rf "$dist.old"
[ ! -e "$dist" ] || mv "$dist" "$dist.old"
mv "$staging" "$dist"
rm -rf "$dist.old"
echo "release: $dist${sign_mode:+, signed by $leaf_subject}"
sed 's/^/release:   /' "$dist/SHA256SUMS"
