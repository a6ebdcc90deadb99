#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs every test: the native suite (logic,
# POSIX services, the POSIX launcher end to end), the same under AddressSanitizer and
# UndefinedBehaviorSanitizer with a short run of the fuzzer, and the Wine scenarios of launcher.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
# Wine turns file names into Unix ones through the locale: the non-ASCII scenarios need UTF-8,
# whatever the caller's locale.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan
cmake --preset win32 >/dev/null
cmake --build --preset win32

status=0
ctest --preset native -j 2 || status=1
ctest --preset native-asan -j 2 || status=1
ctest --preset win32 || status=1
# A short version of the fault soak (scripts/soak.sh runs 200 rounds).
scripts/soak.sh "${SOAK_ROUNDS:-3}" || status=1
exit $status
