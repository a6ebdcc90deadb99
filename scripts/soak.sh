#!/usr/bin/env bash
# Faults, repeatedly: kills during a large copy and eight launchers at once, ROUNDS times each,
# with the POSIX launcher and with launcher.exe under Wine (its x86-64 build where this kernel
# cannot run 32-bit programs; scripts/wine_env.sh). Every round checks that each copy is
# whole (byte for byte the old or the new file), that no temporary file remains after the runs
# that were not killed, and that no launcher hung (each run has a time limit).
#   soak.sh [ROUNDS]     (default 200; CI runs a short version)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200}
native=build/native
source scripts/wine_env.sh
wine=build/$(wine_preset)

KILL_ROUNDS=$rounds bash tests/native/native_scenarios.sh "$native" killed_while_copying
for round in $(seq "$rounds"); do
  bash tests/native/native_scenarios.sh "$native" eight_launchers >/dev/null ||
    { echo "FAIL: native eight launchers, round $round" >&2; exit 1; }
done
echo "native: $rounds kill rounds and $rounds rounds of eight launchers passed"

[ -d "$wine/wineprefix/drive_c" ] || bash tests/e2e/wine_scenarios.sh "$wine" prefix
KILL_ROUNDS=$rounds bash tests/e2e/wine_scenarios.sh "$wine" killed_while_copying
for round in $(seq "$rounds"); do
  bash tests/e2e/wine_scenarios.sh "$wine" eight_launchers >/dev/null ||
    { echo "FAIL: eight launchers under Wine, round $round" >&2; exit 1; }
done
echo "wine ($(basename "$wine")): $rounds kill rounds and $rounds rounds of eight launchers passed"
