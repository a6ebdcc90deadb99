#!/usr/bin/env bash
# The publisher pin of launcher.exe under Wine, with signed copies of the managed test program,
# one scenario per call:
#   signature_scenarios.sh BUILD_DIR SCENARIO
#   signature_scenarios.sh --list    the scenarios' names, one a line (CMake adds a test for each)
# The prefix is the one wine_scenarios.sh makes ("prefix"). On first use the test PKI and the
# signed copies are made in BUILD_DIR/test-pki (make_test_pki.sh) and the test root is added to
# the prefix's trusted roots. Exit 77 means skipped: Wine is missing and CI is not set. The
# scenarios are the scenario_NAME functions in signature/, one file per theme.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/lib.sh
source "$here/lib.sh"
themes=("$here/signature/publishers.sh" "$here/signature/signatures.sh"
  "$here/signature/agreement.sh" "$here/signature/files.sh")
# The kill and eight-launcher rounds of wine_scenarios.sh, run there with every copy signed by A.
signed_wine_rounds=(killed_while_copying eight_launchers)
if [ "${1:-}" = --list ]; then
  scenarios_in "${themes[@]}"
  printf '%s\n' "${signed_wine_rounds[@]}"
  exit 0
fi
open_scenario "$@"
signed="$build/test-pki"
dir="$drive_c/Apps/Signed"
# shellcheck source=tests/e2e/signature/helpers.sh
source "$here/signature/helpers.sh"

bash "$here/make_test_pki.sh" "$signed" "$fixtures"
trust_test_root

if [[ " ${signed_wine_rounds[*]} " == *" $scenario "* ]]; then
  as_fixtures="$signed/as-fixtures"
  mkdir -p "$as_fixtures"
  for revision in 4 7 9; do
    cp "$signed/signed_a_$revision.exe" "$as_fixtures/managed_1_0_0_$revision.exe"
  done
  SCENARIO_FIXTURES=$as_fixtures SIGNING_PKI=$signed/pki \
    exec bash "$here/wine_scenarios.sh" "$build" "$scenario"
fi

# One server for all the runs of a scenario: bringing Wine's services up and down again for
# each run would take seconds. It is ended with the scenario.
own_server

for theme in "${themes[@]}"; do
  # shellcheck source=/dev/null  # each is checked on its own
  source "$theme"
done
run_scenario "${@:3}"
