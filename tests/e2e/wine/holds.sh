# Scenarios of wine_scenarios.sh, which sources this file:
# Copies that other programs run, hold open or move while the launcher works.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, drive_c, fixtures, store, status...: set by wine_scenarios.sh

scenario_older_local_running() {
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  mkdir -p "$drive_c/work"
  (cd "$drive_c/work" && wine "$dir/Norvik_Studio.exe" --stay 8 >/dev/null 2>&1 &)
  for _ in $(seq 50); do [ "$(starts_of "$dir/Norvik_Studio.exe")" = 1 ] && break; sleep 0.2; done
  expect_eq "running before" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  run_launcher "$dir"
  expect_eq "exit status" "$status" 1
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_4.exe" || fail "running copy changed"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 2
  expect_eq "temporaries" "$(temporaries_in "$dir")" 0
}

scenario_start_held_for_writing() {
  # Another process (a launcher finishing its move) has the program open for writing for a
  # moment: the start is tried again until it is free.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_5
  hold_file 'C:\Apps\Norvik\Norvik_Studio.exe' 20000 write
  run_launcher_held "$dir" process "$start_pattern"
  expect_eq "exit status" "$status" 0
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  [ "$attempts" -ge 2 ] || fail "the start never met the hold ($attempts attempts)"
}

scenario_older_held_by_scanner() {
  # A scanner reads the older local copy for a moment, others allowed only to read: the move
  # over it is tried again until it is free.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  hold_file 'C:\Apps\Norvik\Norvik_Studio.exe' 20000 read
  run_launcher_held "$dir" file "$rename_pattern"
  expect_eq "exit status" "$status" 0
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  [ "$attempts" -ge 2 ] || fail "the move never met the hold ($attempts attempts)"
  expect_eq "temporaries" "$(temporaries_in "$dir")" 0
}

scenario_held_too_long() {
  # Held for writing far longer than the launcher waits: it tries again for a while, then
  # gives up within a few seconds, both copies whole.
  dir=$(app_folder "Apps/Norvik")
  cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  hold_file 'C:\Apps\Norvik\Norvik_Studio.exe' 20000 write
  started_ms=$(now_ms)
  launch "$dir" "$process_trace" "$build/wine-stderr.txt"
  took_ms=$(( $(now_ms) - started_ms ))
  attempts=$(trace_count "$build/wine-stderr.txt" "$start_pattern")
  release_hold
  timeout 60 wineserver -w || fail "programs still running a minute after the launcher"
  echo "the launcher gave up after $took_ms ms and $attempts starts, status $status"
  [ "$took_ms" -le 8000 ] || fail "took $took_ms ms to give up"
  # Without waiting the fallback would try once (the replacement fails before the main path's
  # start); with it, the fallback tries until its budget is spent.
  [ "$attempts" -gt 2 ] || fail "the start was not tried again ($attempts attempts)"
  expect_eq "exit status" "$status" 2
  same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_4.exe" || fail "local copy changed"
  same_file "$store/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "store changed"
  expect_eq "temporaries" "$(temporaries_in "$dir")" 0
}

scenario_held_without_read_sharing() {
  # The icon, the older local copy and the newer store copy, each held for a moment by a
  # program that lets nobody else even read it: the launcher waits, then updates and starts.
  for held in 'C:\Apps\Norvik\Ostra.ico' 'C:\Apps\Norvik\Norvik_Studio.exe' \
    'C:\Brelvance\UpdateFile\10001000\0005\Norvik_Studio.exe'; do
    dir=$(app_folder "Apps/Norvik")
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    hold_file "$held" 20000 exclusive
    # The launcher's first open of the held file, as Wine's trace shows it.
    run_launcher_held "$dir" file "CreateFileW L\"${held//\\/\\\\\\\\}\""
    expect_eq "$held: exit status" "$status" 0
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "$held: not replaced"
    expect_eq "$held: starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  done
}

scenario_store_swapped_after_hold() {
  # Once the launcher holds the store's folder and copies into it, the folder is moved aside
  # and a link put at its path to a folder holding an older, read-only decoy (from the Unix
  # side, which Wine's share modes do not bind). Nothing beyond the link may be changed: the
  # read-only mark is cleared, and the copy renamed, by the held folder's handle. Windows then
  # renames the copy into the held folder; Wine looks the held folder up by its old path to
  # rename or remove a file in it and refuses, so here the run ends in the fallback and the
  # temporary is left for a later run (it cannot be removed through the moved folder either).
  dir=$(app_folder "Apps/Norvik")
  padded_copy "$fixtures/managed_1_0_0_9.exe" 200 003 "$dir/Norvik_Studio.exe"
  with_store managed_1_0_0_6
  chmod a-w "$store/Norvik_Studio.exe"
  elsewhere="$drive_c/Elsewhere/0005"
  rm -rf "$drive_c/Elsewhere" "$store.held"
  mkdir -p "$elsewhere"
  cp "$fixtures/managed_1_0_0_5.exe" "$elsewhere/Norvik_Studio.exe"
  chmod a-w "$elsewhere/Norvik_Studio.exe"
  decoy=$(stat -c '%a %z' "$elsewhere/Norvik_Studio.exe")
  own_server
  mkdir -p "$drive_c/work"
  (cd "$drive_c/work" && exec timeout 60 wine "$dir/launcher.exe" >/dev/null 2>&1) &
  launcher=$!
  for _ in $(seq 6000); do copying_in "$store" && break; sleep 0.005; done
  mv "$store" "$store.held"
  ln -s "$elsewhere" "$store"
  copying_in "$store.held" || fail "the copy was over before the folder was swapped"
  status=0
  wait "$launcher" || status=$?
  [ "$status" -le 1 ] || fail "the launcher ended with status $status"
  expect_eq "files beyond the link" "$(ls -A "$elsewhere")" Norvik_Studio.exe
  same_file "$elsewhere/Norvik_Studio.exe" "$fixtures/managed_1_0_0_5.exe" ||
    fail "the decoy changed"
  expect_eq "the decoy's mode and change time" \
    "$(stat -c '%a %z' "$elsewhere/Norvik_Studio.exe")" "$decoy"
  # Whether the held copy gets its read-only mark back after the refused rename Wine cannot
  # show either (the fake disk's tables do).
  same_file "$store.held/Norvik_Studio.exe" "$dir/Norvik_Studio.exe" ||
    same_file "$store.held/Norvik_Studio.exe" "$fixtures/managed_1_0_0_6.exe" ||
    fail "the held folder's copy is neither the local copy nor the old one"
  rm -rf "$store" "$store.held" "$drive_c/Elsewhere"
}
