# Scenarios of wine_scenarios.sh, which sources this file:
# The launcher's folder and icon, the paths it is under, and the start of the program.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, drive_c, fixtures, store, status...: set by wine_scenarios.sh

scenario_icon_and_local_copy() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_no_version.exe" "$dir/Norvik_Studio.exe"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_eq "record" "$(record_of "$dir/Norvik_Studio.exe")" \
    "$(printf 'path=C:\\Apps\\Norvik\\Norvik_Studio.exe\ncommand_line="C:\\Apps\\Norvik\\Norvik_Studio.exe"\nfolder=C:\\work')"
}

scenario_icon_missing() {
  dir=$(app_folder "Apps/Norvik")
  rm "$dir/Ostra.ico"
  cp "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  expect_plan "$dir" refuse 'LoadWindowIcon("C:\Apps\Norvik\Ostra.ico")'
  run_launcher "$dir"
  expect_eq "exit status" "$status" 1
  expect_eq "the cause" "${errors%%\"):*}" 'launcher: LoadWindowIcon("C:\Apps\Norvik\Ostra.ico'
  expect_eq "lines on stderr" "$(grep -c . <<<"$errors")" 1
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 0
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_5.exe" || fail "local copy touched"
}

scenario_icon_malformed() {
  dir=$(app_folder "Apps/Norvik")
  echo "not an icon" > "$dir/Ostra.ico"
  cp "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 1
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 0
}

scenario_local_copy_missing() {
  dir=$(app_folder "Apps/Norvik")
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  # shellcheck disable=SC2012  # names of our own, without blanks
  expect_eq "files" "$(ls "$dir" | tr '\n' ' ')" "Ostra.ico launcher.exe "
}

scenario_blanks_and_decoy() {
  dir=$(app_folder "Program Files/Norvik Tools")
  cp "$fixtures/managed_no_version.exe" "$dir/Norvik_Studio.exe"
  cp "$fixtures/managed_no_version.exe" "$drive_c/Program.exe"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  expect_eq "decoy starts" "$(starts_of "$drive_c/Program.exe")" 0
  expect_eq "record" "$(record_of "$dir/Norvik_Studio.exe")" \
    "$(printf 'path=C:\\Program Files\\Norvik Tools\\Norvik_Studio.exe\ncommand_line="C:\\Program Files\\Norvik Tools\\Norvik_Studio.exe"\nfolder=C:\\work')"
}

scenario_non_ascii_folder() {
  dir=$(app_folder "Apps/Nörvik ツール")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
}

scenario_unstartable() {
  dir=$(app_folder "Apps/Norvik")
  echo "this is no program" > "$dir/Norvik_Studio.exe"
  run_launcher "$dir" "$process_trace"
  expect_eq "exit status" "$status" 2
  [ "$took" -le 20 ] || fail "took $took s to give up"
  attempts=$(trace_count "$build/wine-stderr.txt" "$start_pattern")
  expect_eq "start attempts" "$attempts" 2
  grep -q 'launcher: unhandled failure: StartProgram' <<<"$errors" || fail "no failure text"
}

scenario_long_path() {
  # Program paths of 262 and 300 characters: under folders with long names they start by the
  # folders' short names, with their own path as the command line. Under folders whose names
  # are short already nothing can start them, so nothing is copied there.
  for length in 262 300; do
    relative="lp"
    while (( 3 + ${#relative} + 17 + 1 + 17 + 2 <= length )); do relative+="/Long folder name"; done
    pad=$(( length - 3 - ${#relative} - 1 - 17 - 1 ))
    relative+="/$(printf 'x%.0s' $(seq "$pad"))"
    rm -rf "$drive_c/lp"
    dir=$(app_folder "$relative")
    program="C:\\${relative//\//\\}\\Norvik_Studio.exe"
    expect_eq "program path length" "${#program}" "$length"
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    run_launcher "$dir"
    expect_eq "$length: exit status" "$status" 0
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "$length: not replaced"
    expect_eq "$length: starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    grep -qxF "command_line=\"$program\"" <(record_of "$dir/Norvik_Studio.exe" | tr -d '\r') ||
      fail "$length: started with $(record_of "$dir/Norvik_Studio.exe")"
  done
  # The program path over 260, then the icon's too (which the system cannot load either:
  # nothing is started then, status 1).
  for limit in 260 270; do
    rm -rf "$drive_c/lp"
    relative="lp"
    while (( 3 + ${#relative} + 18 <= limit )); do relative+="/abcdefgh"; done
    dir=$(app_folder "$relative")
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    if [ "$limit" = 260 ]; then
      expected_status=2 cause="starts programs only from paths under 260"
    else
      expected_status=1 cause="loads icons only from paths under 260"
    fi
    expect_plan "$dir" refuse "$cause"
    run_launcher "$dir"
    expect_eq "short names only, $limit: exit status" "$status" "$expected_status"
    [[ "$(head -1 <<<"$errors")" == *"$cause"* ]] || fail "$limit: not the cause on stderr: $errors"
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_4.exe" || fail "copied all the same"
    expect_eq "temporaries" "$(temporaries_in "$dir")" 0
  done
  rm -rf "$drive_c/lp"
}

scenario_plan_not_a_launcher() {
  # --plan on a file, a missing folder and a folder with neither launcher.exe nor Ostra.ico:
  # a message, status 1 and no plan.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  mkdir -p "$drive_c/Apps/Other"
  cp "$fixtures/managed_1_0_0_4.exe" "$drive_c/Apps/Other/Norvik_Studio.exe"
  out="$build/plan-output.txt"
  for target in 'C:\Apps\Norvik\Norvik_Studio.exe|a file, not a folder' \
    'C:\Apps\Missing|no such folder' 'C:\Apps\Other|no launcher.exe and no Ostra.ico'; do
    status=0
    (cd "$drive_c" && timeout 60 wine "$build/revision-probe.exe" --plan "${target%%|*}") \
      >"$out" 2>&1 || status=$?
    expect_eq "${target%%|*}: status" "$status" 1
    grep -q "${target#*|}" "$out" || fail "${target%%|*}: $(cat "$out")"
    ! grep -q $'^plan\t' "$out" || fail "${target%%|*}: a plan was printed"
  done
}
