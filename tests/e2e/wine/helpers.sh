# What the scenarios of wine_scenarios.sh share beyond lib.sh. Sourced by it.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, drive_c, fixtures and store: set by the driver

# A fresh folder under drive C: holding launcher.exe and Ostra.ico; the store is emptied.
app_folder() {  # app_folder WINDOWS_RELATIVE_DIR -> prints the unix path
  local dir="$drive_c/$1"
  rm -rf "$dir" "$drive_c/Brelvance" "$drive_c/Program.exe" "$drive_c"/Program.started.*.txt
  mkdir -p "$dir"
  add_launcher "$dir"
  echo "$dir"
}

with_store() {  # with_store FIXTURE
  mkdir -p "$store"
  cp "$fixtures/$1.exe" "$store/Norvik_Studio.exe"
}

# Runs the launcher in DIR from drive C:'s "work" folder; sets $status, $took and $errors, and
# waits until every program it started has ended.
# shellcheck disable=SC2034  # took and errors are read by the scenarios
run_launcher() {  # run_launcher DIR [WINEDEBUG]
  local started=$SECONDS
  launch "$1" "${2:-$WINEDEBUG}" "$build/wine-stderr.txt"
  took=$(( SECONDS - started ))
  errors=$(cat "$build/wine-stderr.txt")
  timeout 60 wineserver -w || fail "programs still running a minute after the launcher"
}

record_of() { records_of "$1" | xargs -r -d '\n' cat; }

# Runs the launcher in DIR with Wine's trace CHANNEL while hold_file holds a file, and ends the
# hold 0.3 s after the trace first shows PATTERN (the launcher met the hold), however long the
# launcher took to get there. Sets $status, $errors and $attempts, the lines that show PATTERN.
# shellcheck disable=SC2034  # errors and attempts are read by the scenarios
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
  attempts=$(trace_count "$trace" "$3")
  timeout 60 wineserver -w || fail "programs still running a minute after the launcher"
}
