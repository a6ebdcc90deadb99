#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs every test: the native suite (logic,
# POSIX services, the POSIX launcher end to end), the same under AddressSanitizer and
# UndefinedBehaviorSanitizer with a short run of the fuzzer, the Wine scenarios of launcher.exe,
# and the release (scripts/release.sh) with its installer.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine turns file names into Unix ones through the locale: the non-ASCII scenarios need UTF-8,
# whatever the caller's locale.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
source scripts/wine_env.sh

scripts/setup.sh
wine=$(wine_preset)
for preset in native native-asan win32 $( [ "$wine" = win32 ] || echo "$wine" ); do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
ctest --preset native -j 2 || status=1
ctest --preset native-asan -j 2 || status=1
if [ "$wine" = win32 ]; then
  ctest --preset win32 || status=1
else
  echo "test: here $(why_not_win32). The 32-bit build is checked without running it; the Wine"
  echo "test: tests run its x86-64 twin."
  ctest --preset win32 -R '^image\.' || status=1
  ctest --preset "$wine" || status=1
fi
# The release: reproducible, signed with each key source, and its installer under Wine.
tests/release/release_check.sh reproducible || status=1
tests/release/release_check.sh signed || status=1
tests/release/release_check.sh msi || status=1
# A short version of the fault soak (scripts/soak.sh runs 200 rounds).
scripts/soak.sh "${SOAK_ROUNDS:-3}" || status=1
exit $status
