# What the scenarios of signature_scenarios.sh share beyond lib.sh. Sourced by it.
# shellcheck shell=bash
# shellcheck disable=SC2154  # build, dir, drive_c, fixtures, signed, store...: set by the driver

# The test root joins the prefix's trusted roots once; the marker names the root it added, so a
# new PKI is added again.
trust_test_root() {
  local marker="$WINEPREFIX/norvik-test-root.sha256" sum
  sum=$(sha256sum < "$signed/pki/root.der")
  [ "$(cat "$marker" 2>/dev/null)" = "$sum" ] && return 0
  cp "$signed/pki/root.der" "$drive_c/norvik-test-root.der"
  (cd "$drive_c" && timeout 60 wine "$helpers/add_root_certificate.exe" 'C:\norvik-test-root.der') ||
    fail "the test root could not be added to the prefix"
  # The store lives in the registry, which the server writes to disk when it ends.
  timeout 60 wineserver -w || fail "Wine did not end after adding the test root"
  rm "$drive_c/norvik-test-root.der"
  echo "$sum" > "$marker"
}

# A copy by name: a signed one from the test PKI's folder, else a PE fixture.
copy_of() {
  if [ -f "$signed/$1.exe" ]; then echo "$signed/$1.exe"; else echo "$fixtures/$1.exe"; fi
}

# A fresh app folder with launcher.exe, Ostra.ico and the copy LOCAL, and a store holding STORE;
# "none" leaves a copy out, and leaves the store's folders to the caller.
set_up() {  # set_up LOCAL STORE
  rm -rf "$dir" "$drive_c/Brelvance" "$drive_c/Elsewhere"
  mkdir -p "$dir"
  add_launcher "$dir"
  [ "$1" = none ] || cp "$(copy_of "$1")" "$dir/Norvik_Studio.exe"
  if [ "$2" != none ]; then
    mkdir -p "$store"
    cp "$(copy_of "$2")" "$store/Norvik_Studio.exe"
  fi
}

# Runs the launcher from drive C:'s "work" folder, with Wine's file trace when asked; sets
# $status and $trace, and waits until the copy it started has recorded its start.
run_launcher() {  # run_launcher [traced]
  local debug=$WINEDEBUG
  [ "${1:-}" = traced ] && debug=$file_trace
  trace="$build/signature-trace.txt"
  launch "$dir" "$debug" "$trace"
  wait_for_record
}

# The launcher ends once it has started the local copy; that copy's record is whole when it has
# its three lines. The pause after it gives a second start, which would be a fault, time to show.
wait_for_record() {
  local record
  for _ in $(seq 100); do
    record=$(records_of "$dir/Norvik_Studio.exe" | head -1)
    [ -n "$record" ] && [ "$(wc -l < "$record")" -ge 3 ] && break
    sleep 0.1
  done
  sleep 0.3
}

# Where, and how many times, the traced run created or opened a replacement's temporary file:
# 0 proves no temporary was ever written, not only that none was left; the cases where a copy is
# made check that the same count sees them.
temporary_opens() {
  grep -- "$temporary_pattern" "$trace" || true
}
temporaries_opened() { temporary_opens | grep -c . || true; }

# How many of those opens let others write the temporary (FILE_SHARE_WRITE in Wine's trace of
# the share mode): what is checked and moved would then not be what was written.
temporaries_shared_for_writing() {
  local sharing count=0
  for sharing in $(temporary_opens | grep -o 'sharing=[0-9a-f]*' | cut -d= -f2); do
    (( (16#$sharing & 2) == 0 )) || count=$(( count + 1 ))
  done
  echo "$count"
}

expect_copy() {  # expect_copy WHAT PATH NAME: PATH is the copy NAME byte for byte
  same_file "$2" "$(copy_of "$3")" || fail "$1 is not $3"
}

# No temporary file is left beside either copy.
expect_no_temporaries() {
  expect_eq "temporaries beside the local copy" "$(temporaries_in "$dir")" 0
  [ ! -d "$store" ] || expect_eq "temporaries in the store" "$(temporaries_in "$store")" 0
}

# The newer copy NEWER replaced the older one in DIRECTION ("to_local" or "to_store").
expect_replaced() {  # expect_replaced DIRECTION NEWER
  expect_eq "exit status ($1, $2)" "$status" 0
  expect_copy "the local copy ($1)" "$dir/Norvik_Studio.exe" "$2"
  expect_copy "the store copy ($1)" "$store/Norvik_Studio.exe" "$2"
  expect_eq "starts ($1)" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_no_temporaries
}

# Nothing was replaced: both copies are as set up, the local one started, through the fallback.
expect_refused() {  # expect_refused CASE LOCAL STORE
  expect_eq "exit status ($1)" "$status" 1
  expect_copy "the local copy ($1)" "$dir/Norvik_Studio.exe" "$2"
  expect_copy "the store copy ($1)" "$store/Norvik_Studio.exe" "$3"
  expect_eq "starts ($1)" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_no_temporaries
}

# The launcher's cause line names REASON.
expect_cause() {  # expect_cause REASON
  local cause
  cause=$(grep '^launcher: ' "$trace" | tr -d '\r' || true)
  [[ "$cause" == *"$1"* ]] || fail "the launcher's cause does not name '$1': $cause"
}

# A signed A at 1.0.0.4 offered OFFERED (a 1.0.0.7) both ways; nothing may be replaced, and
# revision-probe --plan and the launcher's cause say so with REASON. With "before_copy", OFFERED
# names no signer or another one, so no temporary may even be written.
refused_both_ways() {  # refused_both_ways OFFERED REASON [before_copy]
  local before_copy=${3:-}
  set_up signed_a_4 "$1"
  expect_plan "$dir" refuse "$2"
  run_launcher traced
  expect_refused "store offers $1" signed_a_4 "$1"
  expect_cause "$2"
  [ "$before_copy" != before_copy ] || expect_eq "temporaries written" "$(temporaries_opened)" 0
  set_up "$1" signed_a_4
  expect_plan "$dir" refuse "$2"
  run_launcher traced
  expect_refused "local offers $1" "$1" signed_a_4
  expect_cause "$2"
  [ "$before_copy" != before_copy ] || expect_eq "temporaries written" "$(temporaries_opened)" 0
}
