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

scenario_win32_services() {  # scenario_win32_services PROGRAM
  # PROGRAM checks the Win32 services in a folder of its own; "linked" in it is a Unix symbolic
  # link to another folder, which Wine shows as a reparse point.
  rm -rf "$drive_c/services check" "$drive_c/services link target"
  mkdir -p "$drive_c/services check" "$drive_c/services link target"
  ln -s "$drive_c/services link target" "$drive_c/services check/linked"
  (cd "$drive_c" && timeout 60 wine "$1" 'C:\services check' linked) ||
    fail "the Win32 services check failed (status $?)"
}

# shellcheck source=tests/e2e/wine/helpers.sh
source "$here/wine/helpers.sh"
for theme in "${themes[@]}"; do
  # shellcheck source=/dev/null  # each is checked on its own
  source "$theme"
done
run_scenario "${@:3}"
