#!/usr/bin/env bash
# End-to-end scenarios of launcher.exe under Wine, one per call:
#   wine_scenarios.sh BUILD_DIR SCENARIO [PROGRAM]
#   wine_scenarios.sh --list    the scenarios' names, one a line (CMake adds a test for each)
# SCENARIO "prefix" makes the Wine prefix that the others reuse. Exit 77 means skipped: Wine is
# missing and CI is not set (on CI a missing Wine fails). The scenarios are the scenario_NAME
# functions below and in wine/, one file per theme.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/lib.sh
source "$here/lib.sh"
themes=("$here/wine/starts.sh" "$here/wine/revisions.sh" "$here/wine/holds.sh"
  "$here/wine/concurrency.sh")
if [ "${1:-}" = --list ]; then
  scenarios_in "$here/wine_scenarios.sh" "${themes[@]}"
  exit 0
fi
open_scenario "$@"

scenario_prefix() {
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 ||
    fail "wineboot failed with status $? (126: this kernel cannot run 32-bit programs; see scripts/wine_env.sh)"
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
  [ -d "$drive_c/windows" ] || fail "wineboot made no prefix"
}

scenario_services_conformance() {  # scenario_services_conformance PROGRAM
  # PROGRAM runs the services' suite in folders of its own below C:\conformance. Wine makes no
  # links itself, so Unix symbolic links to empty folders wait in "conformance links\N\link"
  # for the cases about links, which Wine shows as reparse points.
  rm -rf "$drive_c/conformance" "$drive_c/conformance links" "$drive_c/conformance targets"
  local n status=0
  for n in 1 2 3 4; do
    mkdir -p "$drive_c/conformance targets/$n" "$drive_c/conformance links/$n"
    ln -s "$drive_c/conformance targets/$n" "$drive_c/conformance links/$n/link"
  done
  (cd "$drive_c" && timeout 240 wine "$1") || status=$?
  rm -rf "$drive_c/conformance" "$drive_c/conformance links" "$drive_c/conformance targets"
  [ "$status" -eq 0 ] || fail "the services' conformance suite failed (status $status)"
}

# shellcheck source=tests/e2e/wine/helpers.sh
source "$here/wine/helpers.sh"
for theme in "${themes[@]}"; do
  # shellcheck source=/dev/null  # each is checked on its own
  source "$theme"
done
run_scenario "${@:3}"
