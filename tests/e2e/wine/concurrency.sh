# Scenarios of wine_scenarios.sh, which sources this file:
# Launchers killed in the middle of a copy, and many launchers at once.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, drive_c, fixtures, store, status...: set by wine_scenarios.sh

scenario_killed_while_copying() {
  # SIGKILL at a random point of a large copy: the local copy is always the old or the new file,
  # and most kills must find the copy under way (its temporary file left behind).
  rounds=${KILL_ROUNDS:-6}
  dir=$(app_folder "Apps/Norvik")
  padded_copy "$fixtures/managed_1_0_0_4.exe" 200 001 "$build/old.exe"
  mkdir -p "$store"
  padded_copy "$fixtures/managed_1_0_0_7.exe" 200 002 "$store/Norvik_Studio.exe"
  size=$(stat -c %s "$store/Norvik_Studio.exe")
  # A server that stays up across the rounds: the kills are aimed at the launcher's copy, not
  # at Wine's own start-up of its service processes, which a kill can leave hanging.
  own_server
  # A whole run first: it brings up Wine's services, and shows that the copy is made.
  cp "$build/old.exe" "$dir/Norvik_Studio.exe"
  (cd "$drive_c" && timeout 60 wine "$dir/launcher.exe" >/dev/null 2>&1) || true
  same_file "$dir/Norvik_Studio.exe" "$store/Norvik_Studio.exe" || fail "the whole run did not copy"
  outcomes=""
  landed_rounds=0
  for round in $(seq "$rounds"); do
    cp "$build/old.exe" "$dir/Norvik_Studio.exe"
    rm -f "$dir"/Norvik_Studio.started.*.txt
    # The exec makes $! the process that becomes launcher.exe; only it is killed, not Wine's
    # own service processes.
    (cd "$drive_c" && exec wine "$dir/launcher.exe" >/dev/null 2>&1) &
    kill_during_copy "$dir" $! "$size"
    landed_rounds=$(( landed_rounds + landed ))
    outcome=$(which_copy "$dir/Norvik_Studio.exe" "$build/old.exe" "$store/Norvik_Studio.exe" "$round")
    [ "$landed" = 0 ] || outcome+=",cut"
    outcomes+="$outcome@${aim_mib}MiB "
    find "$dir" -maxdepth 1 -name '~*.tmp' -delete
  done
  echo "$landed_rounds of $rounds kills landed during the copy; outcomes: $outcomes"
  rm -f "$build/old.exe"
  expect_most_landed "$landed_rounds" "$rounds"
}

scenario_eight_launchers() {
  # Four launchers share one folder (a double click) and pull the store's copy; four others,
  # each in its own folder, push a newer copy into the store. All at once.
  mkdir -p "$drive_c/work"
  shared=$(app_folder "Apps/Shared")
  cp "$fixtures/managed_1_0_0_4.exe" "$shared/Norvik_Studio.exe"
  with_store managed_1_0_0_7
  for i in 1 2 3 4; do
    mkdir -p "$drive_c/Apps/Own$i"
    rm -rf "$drive_c/Apps/Own$i"/*
    add_launcher "$drive_c/Apps/Own$i"
    cp "$fixtures/managed_1_0_0_9.exe" "$drive_c/Apps/Own$i/Norvik_Studio.exe"
  done
  # Whatever the outcome, no launcher of this round outlives it.
  pids=()
  trap 'kill "${pids[@]}" 2>/dev/null || true; timeout 60 wineserver -w || true' EXIT
  for i in 1 2 3 4; do
    (cd "$drive_c/work" && exec timeout 120 wine "$shared/launcher.exe" 2>/dev/null) & pids+=($!)
    (cd "$drive_c/work" && exec timeout 120 wine "$drive_c/Apps/Own$i/launcher.exe" 2>/dev/null) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    code=0
    wait "$pid" || code=$?
    [ "$code" = 0 ] || [ "$code" = 1 ] || fail "a launcher ended with status $code"
  done
  trap - EXIT
  timeout 60 wineserver -w || fail "programs still running"
  complete() {
    for fixture in managed_1_0_0_4 managed_1_0_0_7 managed_1_0_0_9; do
      same_file "$1" "$fixtures/$fixture.exe" && return 0
    done
    return 1
  }
  complete "$store/Norvik_Studio.exe" || fail "store copy is not a complete file"
  complete "$shared/Norvik_Studio.exe" || fail "shared local copy is not a complete file"
  expect_eq "shared starts" "$(starts_of "$shared/Norvik_Studio.exe")" 4
  for i in 1 2 3 4; do
    same_file "$drive_c/Apps/Own$i/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" ||
      fail "own copy $i changed"
    expect_eq "own $i starts" "$(starts_of "$drive_c/Apps/Own$i/Norvik_Studio.exe")" 1
  done
  expect_eq "temporaries" "$(( $(temporaries_in "$store") + $(temporaries_in "$shared") ))" 0
}
