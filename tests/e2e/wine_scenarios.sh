#!/usr/bin/env bash
# End-to-end scenarios of launcher.exe under Wine, one per call:
#   wine_scenarios.sh BUILD_DIR SCENARIO [PROGRAM]
# SCENARIO "prefix" makes the Wine prefix that the others reuse. Exit 77 means skipped: Wine is
# missing and CI is not set (on CI a missing Wine fails).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/lib.sh
source "$here/lib.sh"

build=$(cd "$1" && pwd)
scenario=$2
# The managed test programs; signature_scenarios.sh passes signed ones for the same rounds.
fixtures="${SCENARIO_FIXTURES:-$build/fixtures}"
use_wine "$build"

make_prefix() {
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 ||
    fail "wineboot failed with status $? (126: this kernel cannot run 32-bit programs; see scripts/wine_env.sh)"
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
  [ -d "$drive_c/windows" ] || fail "wineboot made no prefix"
}

# A fresh folder under drive C: holding launcher.exe and Ostra.ico; the store is emptied.
app_folder() {  # app_folder WINDOWS_RELATIVE_DIR -> prints the unix path
  local dir="$drive_c/$1"
  rm -rf "$dir" "$drive_c/Brelvance" "$drive_c/Program.exe" "$drive_c"/Program.started.*.txt
  mkdir -p "$dir"
  cp "$build/launcher.exe" "$dir/"
  cp "$build/resources/launcher.ico" "$dir/Ostra.ico"
  echo "$dir"
}

with_store() {  # with_store FIXTURE
  mkdir -p "$store"
  cp "$fixtures/$1.exe" "$store/Norvik_Studio.exe"
}

# Runs the launcher in DIR from drive C:'s "work" folder; sets $status, $took and $errors, and
# waits until every program it started has ended.
run_launcher() {  # run_launcher DIR [WINEDEBUG]
  mkdir -p "$drive_c/work"
  local started=$SECONDS
  status=0
  (cd "$drive_c/work" && WINEDEBUG="${2:-$WINEDEBUG}" timeout 60 wine "$1/launcher.exe") \
    2>"$build/wine-stderr.txt" || status=$?
  took=$(( SECONDS - started ))
  errors=$(cat "$build/wine-stderr.txt")
  timeout 60 wineserver -w || fail "programs still running a minute after the launcher"
}

record_of() { records_of "$1" | xargs -r -d '\n' cat; }

# Holds the file at WINDOWS_PATH open in MODE ("write" or "read", see hold_open.c) until
# release_hold, or MS milliseconds at the latest, in the background; returns once it is held.
hold_file() {  # hold_file WINDOWS_PATH MS MODE
  mkdir -p "$drive_c/work"
  rm -f "$drive_c/work/held.marker"
  (cd "$drive_c/work" && exec timeout 60 wine "$build/tests/e2e/hold_open.exe" "$1" \
    'C:\work\held.marker' "$2" "$3") &
  holder=$!
  trap release_hold EXIT
  for _ in $(seq 400); do [ -e "$drive_c/work/held.marker" ] && break; sleep 0.05; done
  [ -e "$drive_c/work/held.marker" ] || fail "hold_open did not open $1"
}
release_hold() {
  rm -f "$drive_c/work/held.marker"
  wait "$holder" || fail "hold_open failed"
  trap - EXIT
}

# The lines of Wine's trace (trace+process, trace+file) that show the launcher trying to start
# the program, and to rename a file (class 0xa: FileRenameInformation).
start_pattern='CreateProcessInternalW app L".*Norvik_Studio.exe'
rename_pattern='NtSetInformationFile (.*,0x0000000a)$'

# Runs the launcher in DIR with Wine's trace CHANNEL while hold_file holds a file, and ends the
# hold 0.3 s after the trace first shows PATTERN (the launcher met the hold), however long the
# launcher took to get there. Sets $status, $errors and $attempts, the lines that show PATTERN.
run_launcher_held() {  # run_launcher_held DIR CHANNEL PATTERN
  local trace="$build/wine-stderr.txt" launcher
  (cd "$drive_c/work" && WINEDEBUG="-all,trace+$2" exec timeout 60 wine "$1/launcher.exe") \
    2>"$trace" &
  launcher=$!
  for _ in $(seq 600); do
    if grep -q -- "$3" "$trace" || ! running "$launcher"; then break; fi
    sleep 0.05
  done
  sleep 0.3
  release_hold
  status=0
  wait "$launcher" || status=$?
  errors=$(cat "$trace")
  attempts=$(grep -c -- "$3" <<<"$errors" || true)
  timeout 60 wineserver -w || fail "programs still running a minute after the launcher"
}

case "$scenario" in
  prefix)
    make_prefix
    ;;

  icon_and_local_copy)
    dir=$(app_folder "Apps/Norvik")
    cp "$fixtures/managed_no_version.exe" "$dir/Norvik_Studio.exe"
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    expect_eq "record" "$(record_of "$dir/Norvik_Studio.exe")" \
      "$(printf 'path=C:\\Apps\\Norvik\\Norvik_Studio.exe\ncommand_line="C:\\Apps\\Norvik\\Norvik_Studio.exe"\nfolder=C:\\work')"
    ;;

  icon_missing)
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
    ;;

  icon_malformed)
    dir=$(app_folder "Apps/Norvik")
    echo "not an icon" > "$dir/Ostra.ico"
    cp "$fixtures/managed_1_0_0_5.exe" "$dir/Norvik_Studio.exe"
    run_launcher "$dir"
    expect_eq "exit status" "$status" 1
    expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 0
    ;;

  local_copy_missing)
    dir=$(app_folder "Apps/Norvik")
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    expect_eq "files" "$(ls "$dir" | tr '\n' ' ')" "Ostra.ico launcher.exe "
    ;;

  blanks_and_decoy)
    dir=$(app_folder "Program Files/Norvik Tools")
    cp "$fixtures/managed_no_version.exe" "$dir/Norvik_Studio.exe"
    cp "$fixtures/managed_no_version.exe" "$drive_c/Program.exe"
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    expect_eq "decoy starts" "$(starts_of "$drive_c/Program.exe")" 0
    expect_eq "record" "$(record_of "$dir/Norvik_Studio.exe")" \
      "$(printf 'path=C:\\Program Files\\Norvik Tools\\Norvik_Studio.exe\ncommand_line="C:\\Program Files\\Norvik Tools\\Norvik_Studio.exe"\nfolder=C:\\work')"
    ;;

  non_ascii_folder)
    dir=$(app_folder "Apps/Nörvik ツール")
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
    expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    ;;

  unstartable)
    dir=$(app_folder "Apps/Norvik")
    echo "this is no program" > "$dir/Norvik_Studio.exe"
    run_launcher "$dir" "-all,trace+process"
    expect_eq "exit status" "$status" 2
    [ "$took" -le 20 ] || fail "took $took s to give up"
    attempts=$(grep -c 'CreateProcessInternalW app L".*Norvik_Studio.exe' <<<"$errors" || true)
    expect_eq "start attempts" "$attempts" 2
    grep -q 'launcher: unhandled failure: StartProgram' <<<"$errors" || fail "no failure text"
    ;;

  store_newer)
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
    ;;

  local_newer)
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
    ;;

  equal)
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
    ;;

  store_folder_missing)
    dir=$(app_folder "Apps/Norvik")
    cp "$fixtures/managed_1_0_0_9.exe" "$dir/Norvik_Studio.exe"
    expect_plan "$dir" refuse "store copy missing, local copy at revision 9, but FileCopy("
    run_launcher "$dir"
    expect_eq "exit status" "$status" 1
    expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    [ ! -e "$drive_c/Brelvance" ] || fail "the store folder was created"
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" || fail "local changed"
    ;;

  store_zero_no_local)
    dir=$(app_folder "Apps/Norvik")
    with_store managed_1_0_0_0
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    [ ! -e "$dir/Norvik_Studio.exe" ] || fail "a copy was made"
    expect_eq "store starts" "$(starts_of "$store/Norvik_Studio.exe")" 0
    ;;

  multi_digit_fields)
    dir=$(app_folder "Apps/Norvik")
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_10_0_5
    run_launcher "$dir"
    expect_eq "exit status" "$status" 0
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_10_0_5.exe" || fail "wrong direction"
    same_file "$store/Norvik_Studio.exe" "$fixtures/managed_1_10_0_5.exe" || fail "store changed"
    ;;

  read_only_older)
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
    ;;

  stale_temporaries)
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
    ;;

  older_local_running)
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
    ;;

  start_held_for_writing)
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
    ;;

  older_held_by_scanner)
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
    ;;

  held_too_long)
    # Held for writing far longer than the launcher waits: it tries again for a while, then
    # gives up within a few seconds, both copies whole.
    dir=$(app_folder "Apps/Norvik")
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    hold_file 'C:\Apps\Norvik\Norvik_Studio.exe' 20000 write
    started_ms=$(now_ms)
    status=0
    (cd "$drive_c/work" && WINEDEBUG=-all,trace+process timeout 60 wine "$dir/launcher.exe") \
      2>"$build/wine-stderr.txt" || status=$?
    took_ms=$(( $(now_ms) - started_ms ))
    attempts=$(grep -c -- "$start_pattern" "$build/wine-stderr.txt" || true)
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
    ;;

  store_swapped_after_hold)
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
    ;;

  killed_while_copying)
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
    ;;

  eight_launchers)
    # Four launchers share one folder (a double click) and pull the store's copy; four others,
    # each in its own folder, push a newer copy into the store. All at once.
    mkdir -p "$drive_c/work"
    shared=$(app_folder "Apps/Shared")
    cp "$fixtures/managed_1_0_0_4.exe" "$shared/Norvik_Studio.exe"
    with_store managed_1_0_0_7
    for i in 1 2 3 4; do
      mkdir -p "$drive_c/Apps/Own$i"
      rm -rf "$drive_c/Apps/Own$i"/*
      cp "$build/launcher.exe" "$build/resources/launcher.ico" "$drive_c/Apps/Own$i/"
      mv "$drive_c/Apps/Own$i/launcher.ico" "$drive_c/Apps/Own$i/Ostra.ico"
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
    ;;

  held_without_read_sharing)
    # The icon, the older local copy and the newer store copy, each held for a moment by a
    # program that lets nobody else even read it: the launcher waits, then updates and starts.
    for held in 'C:\Apps\Norvik\Ostra.ico' 'C:\Apps\Norvik\Norvik_Studio.exe' \
      'C:\Brelvance\UpdateFile\10001000\0005\Norvik_Studio.exe'; do
      dir=$(app_folder "Apps/Norvik")
      cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
      with_store managed_1_0_0_7
      hold_file "$held" 20000 exclusive
      # The launcher's first open of the held file, as Wine's trace shows it.
      run_launcher_held "$dir" file "CreateFileW L\"$(sed 's/\\/\\\\\\\\/g' <<<"$held")\""
      expect_eq "$held: exit status" "$status" 0
      same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "$held: not replaced"
      expect_eq "$held: starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    done
    ;;

  store_written_in_parts)
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
    ;;

  long_path)
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
    ;;

  plan_not_a_launcher)
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
    ;;

  win32_services)
    # PROGRAM checks the Win32 services in a folder of its own; "linked" in it is a Unix symbolic
    # link to another folder, which Wine shows as a reparse point.
    rm -rf "$drive_c/services check" "$drive_c/services link target"
    mkdir -p "$drive_c/services check" "$drive_c/services link target"
    ln -s "$drive_c/services link target" "$drive_c/services check/linked"
    (cd "$drive_c" && timeout 60 wine "$3" 'C:\services check' linked) ||
      fail "the Win32 services check failed (status $?)"
    ;;

  *)
    fail "unknown scenario $scenario"
    ;;
esac
echo "ok: $scenario"
