#!/usr/bin/env bash
# Faults, repeatedly: kills during a large copy and eight launchers at once, ROUNDS times each,
# with the POSIX launcher and with launcher.exe under Wine. Every round checks that each copy is
# whole (byte for byte the old or the new file), that no temporary file remains after the runs
# that were not killed, and that no launcher hung (each run has a time limit).
#   soak.sh [ROUNDS]     (default 200; CI runs a short version)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200}
native=build/native
win32=build/win32

KILL_ROUNDS=$rounds bash tests/native/native_scenarios.sh "$native" killed_while_copying
for round in $(seq "$rounds"); do
  bash tests/native/native_scenarios.sh "$native" eight_launchers >/dev/null ||
    { echo "FAIL: native eight launchers, round $round" >&2; exit 1; }
done
echo "native: $rounds kill rounds and $rounds rounds of eight launchers passed"

[ -d "$win32/wineprefix/drive_c" ] || bash tests/e2e/wine_scenarios.sh "$win32" prefix
KILL_ROUNDS=$rounds bash tests/e2e/wine_scenarios.sh "$win32" killed_while_copying
for round in $(seq "$rounds"); do
  bash tests/e2e/wine_scenarios.sh "$win32" eight_launchers >/dev/null ||
    { echo "FAIL: eight launchers under Wine, round $round" >&2; exit 1; }
done
echo "wine: $rounds kill rounds and $rounds rounds of eight launchers passed"
