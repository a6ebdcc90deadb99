# Scenarios of wine_scenarios.sh, which sources this file:
# Which copy replaces which, and what a replacement leaves behind.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, drive_c, fixtures, store, status...: set by wine_scenarios.sh

scenario_store_newer() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  expect_plan "$dir" "replace-local" "store copy at revision 7, local copy at revision 4"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  expect_eq "stderr" "$errors" ""
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "local not replaced"
  same_file "$store/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "store changed"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_eq "temporaries" "$(temporaries_in "$dir")" 0
}

scenario_local_newer() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_9.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_6
  expect_plan "$dir" "replace-store" "store copy at revision 6, local copy at revision 9"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  same_file "$store/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" || fail "store not replaced"
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" || fail "local changed"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_eq "store files" "$(ls "$store")" "Norvik_Studio.exe"
}

scenario_equal() {
  dir=$(app_folder "Apps/Norvik")
  cp -p "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_5
  touch -d '2020-01-01' "$dir/Norvik_Studio.exe" "$store/Norvik_Studio.exe"
  expect_plan "$dir" "none" "neither is newer"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  expect_eq "local time" "$(stat -c %Y "$dir/Norvik_Studio.exe")" "$(date -d 2020-01-01 +%s)"
  expect_eq "store time" "$(stat -c %Y "$store/Norvik_Studio.exe")" "$(date -d 2020-01-01 +%s)"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
}

scenario_store_folder_missing() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_9.exe" "$dir/Norvik_Studio.exe"
  expect_plan "$dir" refuse "store copy missing, local copy at revision 9, but FileCopy("
  run_launcher "$dir"
  expect_eq "exit status" "$status" 1
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  [ ! -e "$drive_c/Brelvance" ] || fail "the store folder was created"
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" || fail "local changed"
}

scenario_store_zero_no_local() {
  dir=$(app_folder "Apps/Norvik")
  with_store managed_1_0_0_0
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  [ ! -e "$dir/Norvik_Studio.exe" ] || fail "a copy was made"
  expect_eq "store starts" "$(starts_of "$store/Norvik_Studio.exe")" 0
}

scenario_multi_digit_fields() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_10_0_5
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_10_0_5.exe" || fail "wrong direction"
  same_file "$store/Norvik_Studio.exe" "$fixtures/managed_1_10_0_5.exe" || fail "store changed"
}

scenario_read_only_older() {
  # Wine, unlike Windows, moves over a read-only file, so this passes even without the
  # launcher's handling of the read-only mark. That rule is guarded by the fake steps of
  # core/replace/replace_file_test.cc, which refuse as Windows does:
  # ReplaceWithCopy.ReplacesAReadOnlyDestinationWhichWindowsWouldNotMoveOver.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  chmod a-w "$dir/Norvik_Studio.exe"  # Wine shows this as the read-only attribute
  with_store managed_1_0_0_7
  run_launcher "$dir"
  expect_eq "exit status" "$status" 0
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
}

scenario_stale_temporaries() {
  # Temporaries left by killed runs: the stale one goes, a fresh one (another launcher's copy
  # under way) stays, and neither is ever taken for a copy.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  # Of any age, those nobody holds go; one held as a launcher holds its copy stays, and so
  # does one written a moment ago (its writer may be between closing and reopening it).
  for name in aa bb cc dd ee; do
    cp "$fixtures/managed_1_0_0_9.exe" "$dir/~Norvik_Studio.exe.00000000000000$name.tmp"
  done
  touch -d '2 hours ago' "$dir/~Norvik_Studio.exe.00000000000000aa.tmp"
  touch -d '1 minute ago' "$dir/~Norvik_Studio.exe.00000000000000bb.tmp"
  touch -d '2 hours' "$dir/~Norvik_Studio.exe.00000000000000cc.tmp"
  touch -d '1 minute ago' "$dir/~Norvik_Studio.exe.00000000000000ee.tmp"
  hold_file 'C:\Apps\Norvik\~Norvik_Studio.exe.00000000000000ee.tmp' 20000 write
  run_launcher "$dir"
  release_hold
  expect_eq "exit status" "$status" 0
  expect_eq "temporaries left" "$(cd "$dir" && echo ~*.tmp)" \
    "~Norvik_Studio.exe.00000000000000dd.tmp ~Norvik_Studio.exe.00000000000000ee.tmp"
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
}

scenario_store_written_in_parts() {
  # A writer puts a newer store copy in place in two parts, closing the file in between, and a
  # launcher with a newer local copy runs in between: it leaves the part alone and says why.
  # Once the second part is written, the next run copies the writer's program.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
  new="$fixtures/managed_1_0_0_9.exe"
  half=$(( $(stat -c %s "$new") / 2 ))
  mkdir -p "$store"
  head -c "$half" "$new" >"$store/Norvik_Studio.exe"
  expect_plan "$dir" refuse "not a whole program image"
  run_launcher "$dir"
  expect_eq "exit status" "$status" 1
  [[ "$errors" == "launcher: FileCopy("*"): not a whole program image"* ]] ||
    fail "no cause on stderr: $errors"
  cmp -s <(head -c "$half" "$new") "$store/Norvik_Studio.exe" || fail "the part was written over"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_eq "temporaries" "$(temporaries_in "$store")" 0
  tail -c "+$(( half + 1 ))" "$new" >>"$store/Norvik_Studio.exe"
  run_launcher "$dir"
  expect_eq "exit status after the second part" "$status" 0
  same_file "$dir/Norvik_Studio.exe" "$new" || fail "the writer's program was not copied"
}
