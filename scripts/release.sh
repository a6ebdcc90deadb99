#!/usr/bin/env bash
# Builds the release into dist/ (or $RELEASE_DIR):
#   scripts/release.sh [PROGRAM.exe]
# launcher.exe and revision-probe.exe (32-bit, the same bytes wherever and whenever this commit
# is built), Ostra.ico, the per-user installer NorvikTools-VERSION.msi (with PROGRAM.exe as
# Norvik_Studio.exe when given), and SHA256SUMS over all of them. Installs what it needs first.
# RELEASE_PRESET=win64 builds the x86-64 twin instead, for the tests on machines where 32-bit
# programs cannot run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-}
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

"$root/scripts/setup.sh" --release
# A build of its own, made anew each time, without the tests: nothing of a test build or an
# earlier configuration can reach the release.
build=$root/build/release-$preset
rm -rf "$build"
cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/$toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target launcher revision-probe
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release: no project version in $build" >&2; exit 1; }
python3 "$root/scripts/pe_checksum.py" "$build/launcher.exe" "$build/revision-probe.exe"

# Made aside and moved in whole, so that dist/ is never half one release and half another.
mkdir -p "$root/build"
staging=$(mktemp -d "$root/build/release-staging.XXXXXX")
chmod 755 "$staging"
trap 'rm -rf "$staging"' EXIT
cp "$build/launcher.exe" "$build/revision-probe.exe" "$staging/"
cp "$build/resources/launcher.ico" "$staging/Ostra.ico"
[ -z "$program" ] || cp "$program" "$staging/Norvik_Studio.exe"
msi=NorvikTools-$version.msi
"$root/scripts/make_msi.sh" "$staging" "$version" "$staging/$msi"
# The program goes out inside the installer only: dist/ holds what the deployer handles.
rm -f "$staging/Norvik_Studio.exe"
(cd "$staging" && sha256sum launcher.exe revision-probe.exe Ostra.ico "$msi" > SHA256SUMS)

rm -rf "$dist.old"
[ ! -e "$dist" ] || mv "$dist" "$dist.old"
mv "$staging" "$dist"
rm -rf "$dist.old"
trap - EXIT
echo "release: $dist"
sed 's/^/release:   /' "$dist/SHA256SUMS"
