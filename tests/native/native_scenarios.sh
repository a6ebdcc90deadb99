#!/usr/bin/env bash
# The POSIX launcher on real files, one scenario per call:
#   native_scenarios.sh BUILD_DIR SCENARIO
# It runs launcher-testdrive, whose drive C: is BUILD_DIR/test-drive-c. The copies are Windows
# programs, which cannot start here: every run that finds a local copy ends with the unhandled
# status 2 after two start attempts, so these scenarios check the files and the status.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"

build=$(cd "$1" && pwd)
scenario=$2
fixtures="$build/fixtures"
drive_c="$build/test-drive-c"
store="$drive_c/Brelvance/UpdateFile/10001000/0005"
work="$build/native-scenarios"

app_folder() {  # app_folder NAME -> prints its path
  local dir="$work/$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$build/launcher-testdrive" "$dir/launcher"
  cp "$build/resources/launcher.ico" "$dir/Ostra.ico"
  echo "$dir"
}

rm -rf "$drive_c" "$work"
mkdir -p "$store" "$work"

case "$scenario" in
  store_newer)
    dir=$(app_folder app)
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    cp "$fixtures/managed_1_0_0_7.exe" "$store/Norvik_Studio.exe"
    status=0
    "$dir/launcher" 2>"$work/stderr" || status=$?
    expect_eq "exit status" "$status" 2
    grep -q 'unhandled failure: StartProgram' "$work/stderr" || fail "no failure text"
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_7.exe" || fail "not replaced"
    ;;

  local_newer_store_missing)
    dir=$(app_folder app)
    rm -rf "$drive_c/Brelvance"
    cp "$fixtures/managed_1_0_0_9.exe" "$dir/Norvik_Studio.exe"
    status=0
    "$dir/launcher" 2>/dev/null || status=$?
    expect_eq "exit status" "$status" 2
    [ ! -e "$drive_c/Brelvance" ] || fail "the store folder was created"
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_9.exe" || fail "local changed"
    ;;

  killed_while_copying)
    # SIGKILL at random points of a large copy: the local copy is always the old or the new file,
    # and most kills must find the copy under way (its temporary file left behind).
    rounds=${KILL_ROUNDS:-10}
    dir=$(app_folder app)
    padded_copy "$fixtures/managed_1_0_0_4.exe" 300 001 "$work/old.exe"
    padded_copy "$fixtures/managed_1_0_0_7.exe" 300 002 "$store/Norvik_Studio.exe"
    size=$(stat -c %s "$store/Norvik_Studio.exe")
    cp "$work/old.exe" "$dir/Norvik_Studio.exe"
    "$dir/launcher" 2>/dev/null || true
    same_file "$dir/Norvik_Studio.exe" "$store/Norvik_Studio.exe" || fail "the whole run did not copy"
    outcomes=""
    landed_rounds=0
    for round in $(seq "$rounds"); do
      cp "$work/old.exe" "$dir/Norvik_Studio.exe"
      "$dir/launcher" 2>/dev/null &
      kill_during_copy "$dir" $! "$size"
      landed_rounds=$(( landed_rounds + landed ))
      outcome=$(which_copy "$dir/Norvik_Studio.exe" "$work/old.exe" "$store/Norvik_Studio.exe" "$round")
      [ "$landed" = 0 ] || outcome+=",cut"
      outcomes+="$outcome@${aim_mib}MiB "
      find "$dir" -maxdepth 1 -name '~*.tmp' -delete
    done
    echo "$landed_rounds of $rounds kills landed during the copy; outcomes: $outcomes"
    expect_most_landed "$landed_rounds" "$rounds"
    ;;

  eight_launchers)
    # Eight launchers in one folder at once, all replacing the same older local copy.
    dir=$(app_folder app)
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    padded_copy "$fixtures/managed_1_0_0_7.exe" 20 002 "$store/Norvik_Studio.exe"
    pids=()
    for _ in $(seq 8); do
      timeout 60 "$dir/launcher" 2>/dev/null & pids+=($!)
    done
    for pid in "${pids[@]}"; do
      code=0
      wait "$pid" || code=$?
      expect_eq "exit status" "$code" 2
    done
    same_file "$dir/Norvik_Studio.exe" "$store/Norvik_Studio.exe" || fail "local copy incomplete"
    expect_eq "temporaries" "$(temporaries_in "$dir")" 0
    ;;

  store_link)
    # The store folder, then the folder above it all, swapped for a link to the same place in a
    # tree elsewhere, with the newer copy on either side: nothing there is read or written.
    elsewhere="$work/elsewhere"
    for link in "$store" "$drive_c/Brelvance"; do
      for versions in "4 9" "9 4"; do
        read -r local_version linked_version <<<"$versions"
        rm -rf "$drive_c/Brelvance" "$elsewhere"
        dir=$(app_folder app)
        cp "$fixtures/managed_1_0_0_$local_version.exe" "$dir/Norvik_Studio.exe"
        mkdir -p "$elsewhere/${store#"$drive_c/"}" "$(dirname "$link")"
        cp "$fixtures/managed_1_0_0_$linked_version.exe" \
          "$elsewhere/${store#"$drive_c/"}/Norvik_Studio.exe"
        ln -s "$elsewhere/${link#"$drive_c/"}" "$link"
        # A read there would move an access time set far back; a write, the listing.
        find "$elsewhere" -type f -exec touch -a -d 2000-01-01 {} +
        before=$(find "$elsewhere" -printf '%P %y %s %T@\n' -type f -printf '%P %A@\n' | sort)
        status=0
        "$dir/launcher" 2>/dev/null || status=$?
        expect_eq "exit status" "$status" 2
        after=$(find "$elsewhere" -printf '%P %y %s %T@\n' -type f -printf '%P %A@\n' | sort)
        expect_eq "the link's target (${link#"$drive_c/"}, local 1.0.0.$local_version)" \
          "$after" "$before"
        same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_$local_version.exe" ||
          fail "local changed"
        expect_eq "temporaries" "$(temporaries_in "$dir")" 0
      done
    done
    ;;

  store_cut)
    # A newer store copy cut inside its last section, after its version record: nothing copied.
    dir=$(app_folder app)
    cp "$fixtures/managed_1_0_0_4.exe" "$dir/Norvik_Studio.exe"
    cp "$fixtures/managed_1_0_0_7.exe" "$work/cut.exe"
    truncate -s -512 "$work/cut.exe"
    expect_eq "version of the cut copy" "$("$build/revision-probe" "$work/cut.exe" | cut -f2)" \
      1.0.0.7
    cp "$work/cut.exe" "$store/Norvik_Studio.exe"
    status=0
    "$dir/launcher" 2>/dev/null || status=$?
    expect_eq "exit status" "$status" 2
    same_file "$dir/Norvik_Studio.exe" "$fixtures/managed_1_0_0_4.exe" || fail "local changed"
    same_file "$store/Norvik_Studio.exe" "$work/cut.exe" || fail "store copy changed"
    expect_eq "temporaries" "$(temporaries_in "$dir")" 0
    ;;

  *)
    fail "unknown scenario $scenario"
    ;;
esac
echo "ok: $scenario"
