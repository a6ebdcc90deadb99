#!/usr/bin/env bash
# The publisher pin of launcher.exe under Wine, with signed copies of the managed test program,
# one scenario per call:
#   signature_scenarios.sh BUILD_DIR SCENARIO
# The prefix is the one wine_scenarios.sh makes ("prefix"). On first use the test PKI and the
# signed copies are made in BUILD_DIR/test-pki (make_test_pki.sh) and the test root is added to
# the prefix's trusted roots. Exit 77 means skipped: Wine is missing and CI is not set.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

build=$(cd "$1" && pwd)
scenario=$2
fixtures="$build/fixtures"
signed="$build/test-pki"
helpers="$build/tests/e2e"
use_wine "$build"
dir="$drive_c/Apps/Signed"
[ -d "$drive_c/windows" ] || fail "no Wine prefix in $WINEPREFIX (the scenario \"prefix\" makes it)"

bash "$here/make_test_pki.sh" "$signed" "$fixtures"

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
trust_test_root

# A copy by name: a signed one from the test PKI's folder, else a PE fixture.
copy_of() {
  if [ -f "$signed/$1.exe" ]; then echo "$signed/$1.exe"; else echo "$fixtures/$1.exe"; fi
}

# A fresh app folder with launcher.exe, Ostra.ico and the copy LOCAL, and a store holding STORE;
# "none" leaves a copy out, and leaves the store's folders to the caller.
set_up() {  # set_up LOCAL STORE
  rm -rf "$dir" "$drive_c/Brelvance" "$drive_c/Elsewhere"
  mkdir -p "$dir"
  cp "$build/launcher.exe" "$dir/"
  cp "$build/resources/launcher.ico" "$dir/Ostra.ico"
  [ "$1" = none ] || cp "$(copy_of "$1")" "$dir/Norvik_Studio.exe"
  if [ "$2" != none ]; then
    mkdir -p "$store"
    cp "$(copy_of "$2")" "$store/Norvik_Studio.exe"
  fi
}

# The kill and eight-launcher rounds of wine_scenarios.sh, with every copy signed by A.
case "$scenario" in
  killed_while_copying | eight_launchers)
    as_fixtures="$signed/as-fixtures"
    mkdir -p "$as_fixtures"
    for revision in 4 7 9; do
      cp "$signed/signed_a_$revision.exe" "$as_fixtures/managed_1_0_0_$revision.exe"
    done
    SCENARIO_FIXTURES=$as_fixtures SIGNING_PKI=$signed/pki \
      exec bash "$here/wine_scenarios.sh" "$build" "$scenario"
    ;;
esac

# One server for all the runs of a scenario: bringing Wine's services up and down again for
# each run would take seconds. It is ended with the scenario.
own_server

# Runs the launcher from drive C:'s "work" folder, with Wine's file trace when asked; sets
# $status and $trace, and waits until the copy it started has recorded its start.
run_launcher() {  # run_launcher [traced]
  local debug=$WINEDEBUG
  [ "${1:-}" = traced ] && debug="-all,trace+file"
  mkdir -p "$drive_c/work"
  status=0
  trace="$build/signature-trace.txt"
  (cd "$drive_c/work" && WINEDEBUG="$debug" timeout 60 wine "$dir/launcher.exe") 2>"$trace" ||
    status=$?
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

# Where, and how many times, the traced run created or opened a replacement's temporary file. Every
# file a Windows program creates goes through NtCreateFile, which Wine's file trace logs with the
# name, so 0 proves no temporary was ever written, not only that none was left; the cases where a
# copy is made check that the same count sees them.
temporary_opens() {
  grep 'NtCreateFile .*name=L"[^"]*~Norvik_Studio\.exe\.[0-9a-f]\{16\}\.tmp"' "$trace" || true
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

# A copy of FIXTURE that ends right after the section holding its version record: the version
# still reads, but the file is shorter than its sections.
cut_after_version_record() {  # cut_after_version_record FIXTURE OUT
  local at sections size start cut="" whole
  at=$(grep -obUaP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O' "$1" |
    head -1 | cut -d: -f1)
  [ -n "$at" ] || fail "no version record in $1"
  sections=$(pe_sections "$1") || fail "pe_fields.py could not read the sections of $1"
  while IFS=$'\t' read -r _ _ size start; do
    if [ "$start" -le "$at" ] && [ "$at" -lt $(( start + size )) ]; then cut=$(( start + size )); fi
  done <<<"$sections"
  whole=$(stat -c %s "$1")
  if [ -z "$cut" ] || [ "$cut" -ge "$whole" ]; then
    fail "the version record of $1 is in its last section"
  fi
  head -c "$cut" "$1" > "$2"
}

case "$scenario" in
  same_publisher)
    set_up signed_a_4 signed_a_7
    expect_plan "$dir" replace-local "the store's copy is newer"
    run_launcher traced
    expect_replaced to_local signed_a_7
    [ "$(temporaries_opened)" -gt 0 ] || fail "the file trace shows no temporary of a real copy"
    expect_eq "temporaries opened for others to write" "$(temporaries_shared_for_writing)" 0
    set_up signed_a_9 signed_a_7
    expect_plan "$dir" replace-store "the local copy is newer"
    run_launcher
    expect_replaced to_store signed_a_9
    set_up signed_a_7 signed_a_7
    expect_plan "$dir" none "store copy at revision 7, local copy at revision 7: neither is newer"
    ;;

  renewed_publisher)
    # A's renewed certificate: the same subject, a new key and serial.
    set_up signed_a_4 signed_a_renewed_7
    run_launcher
    expect_replaced to_local signed_a_renewed_7
    set_up signed_a_renewed_9 signed_a_7
    run_launcher
    expect_replaced to_store signed_a_renewed_9
    ;;

  renewed_printable_subject)
    # A renewed by a CA that encodes the same subject as PrintableString rather than UTF8String:
    # the same name, pinned either way.
    set_up signed_a_4 signed_a_printable_7
    expect_plan "$dir" replace-local "the store's copy is newer"
    run_launcher
    expect_replaced to_local signed_a_printable_7
    set_up signed_a_printable_7 signed_a_9
    run_launcher
    expect_replaced to_local signed_a_9
    set_up signed_a_printable_9 signed_a_7
    run_launcher
    expect_replaced to_store signed_a_printable_9
    ;;

  refused_nul_in_name)
    # A's common name followed by a NUL and more: another name, which no message may cut at the
    # NUL to show as A's.
    refused_both_ways signed_a_nul_7 'Publisher A\x00planted", not by "' before_copy
    grep -aqF 'Publisher A\x00planted", not by "' "$trace" ||
      fail "the launcher's refusal does not show the NUL: $(grep -a launcher: "$trace")"
    ;;

  refused_unsigned)
    refused_both_ways managed_1_0_0_7 "not signed, and the copy it would replace is" before_copy
    ;;

  refused_other_publisher)
    refused_both_ways signed_b_7 'Publisher B"", not by "C=NO, O="Norvik Test Publisher A"' before_copy
    ;;

  refused_untrusted_root)
    # A's subject byte for byte, under a root the prefix does not trust, which the signature
    # carries: the chain is whole but ends at an untrusted root.
    refused_both_ways signed_untrusted_a_7 "the root is not trusted" before_copy
    ;;

  refused_partial_chain)
    # A's own certificate without the CA that issued it: the chain cannot reach the trusted root.
    refused_both_ways signed_a_partial_7 "the chain does not reach a root" before_copy
    ;;

  refused_tampered)
    # Signed by A, then one byte of the code section changed: the digest no longer matches.
    refused_both_ways tampered_a_7 "does not match its signature" before_copy
    ;;

  refused_transplanted)
    # A's signature of another program, its signed digest swapped for this program's: the file
    # digest matches, the signer's messageDigest does not.
    refused_both_ways transplanted_a_9 "does not match the signer's message digest" before_copy
    ;;

  refused_not_for_code_signing)
    refused_both_ways signed_a_tls_7 "for code signing: not valid for the usage asked" before_copy
    refused_both_ways signed_a_by_b_7 "issued by a certificate that is no CA" before_copy
    # Issued by a sub-CA under the CA, whose path length allows no CA below it.
    refused_both_ways signed_a_by_sub_ca_7 \
      "for code signing: a CA's path length constraint is exceeded" before_copy
    # Issued by a CA for TLS servers only: the chain engine under Wine reads the signer's usages
    # alone, Windows' those of every CA above it too.
    refused_both_ways signed_a_by_tls_ca_7 "for code signing: not valid for the usage asked" \
      before_copy
    ;;

  refused_md5)
    # Signed by A with MD5 for its digests.
    refused_both_ways signed_a_md5_7 \
      "the signer's digest algorithm is MD5, which is refused: collisions can be made for it" \
      before_copy
    ;;

  refused_expired)
    # Expired a year ago: without a timestamp, and with one made after it expired (a token and a
    # legacy countersignature).
    refused_both_ways signed_a_expired_7 "for code signing: a certificate is expired" before_copy
    refused_both_ways signed_a_expired_late_ts_7 "as of its timestamp: a certificate is expired" \
      before_copy
    refused_both_ways signed_a_expired_late_cs_7 "as of its timestamp: a certificate is expired" \
      before_copy
    # A legacy countersignature whose signing time was changed after it was signed.
    refused_both_ways retimed_a_expired_cs_7 \
      "(a countersignature is there, but its signature does not verify)" before_copy
    ;;

  refused_timestamp_without_usage)
    # Expired, with a timestamp made while it was valid by a key without the time-stamping usage
    # (no extended key usage, good for any usage to the chain engine): the expired key itself,
    # and another under the CA, which also countersigns one the legacy way. The timestamp counts as none, so the chain is judged as of now.
    refused_both_ways signed_a_expired_self_ts_7 \
      "expired or not yet valid (a timestamp is there, but its authority is not for time stamping" \
      before_copy
    refused_both_ways signed_a_expired_ts_no_usage_7 \
      "expired or not yet valid (a timestamp is there, but its authority is not for time stamping" \
      before_copy
    refused_both_ways signed_a_expired_cs_no_usage_7 "expired or not yet valid (a countersignature \
is there, but its authority is not for time stamping" before_copy
    # The expired key countersigning itself: it names time stamping, but its CA is for code
    # signing only.
    refused_both_ways signed_a_expired_self_cs_7 "expired or not yet valid (a countersignature is \
there, but its authority's chain for time stamping: not valid for the usage asked" before_copy
    ;;

  refused_timestamp_ahead)
    # A's certificate valid only from 30 days ahead, with a timestamp dated 40 days ahead, when it
    # would be valid.
    refused_both_ways signed_a_future_ts_7 \
      "UTC, is in the future: more than 5 minutes past this machine's clock)" before_copy
    ;;

  refused_table_excess)
    # Something rides along with A's signature, where the system's verifier does not look. An
    # older copy so signed still names its signer: nothing unsigned replaces it, A's sound copy
    # does. A newer one is refused before any copy.
    set_up junk_in_table_a_4 managed_1_0_0_7
    expect_plan "$dir" refuse "not signed, and the copy it would replace is"
    run_launcher
    expect_refused "an unsigned store copy" junk_in_table_a_4 managed_1_0_0_7
    set_up junk_in_table_a_4 signed_a_7
    expect_plan "$dir" replace-local "the store's copy is newer"
    run_launcher
    expect_replaced to_local signed_a_7
    refused_both_ways second_entry_a_7 "a second entry follows the signature's" before_copy
    refused_both_ways junk_in_table_a_7 "4096 bytes follow the signature's entry in the table" \
      before_copy
    refused_both_ways grown_table_a_7 \
      "314572800 bytes follow the signature's entry in the table" before_copy
    refused_both_ways junk_in_entry_a_7 "bytes follow the signature inside its entry" before_copy
    refused_both_ways junk_after_table_a_7 "4096 bytes follow the table" before_copy
    ;;

  timestamped)
    # A timestamp made while the certificate was valid carries an expired one, both ways.
    set_up signed_a_4 signed_a_expired_ts_7
    expect_plan "$dir" replace-local "the store's copy is newer"
    run_launcher
    expect_replaced to_local signed_a_expired_ts_7
    set_up signed_a_expired_ts_7 signed_a_4
    run_launcher
    expect_replaced to_store signed_a_expired_ts_7
    set_up signed_a_4 signed_a_ts_7
    run_launcher
    expect_replaced to_local signed_a_ts_7
    # The same, countersigned the legacy way (signtool /t) while the certificate was valid.
    set_up signed_a_4 signed_a_expired_cs_7
    expect_plan "$dir" replace-local "the store's copy is newer"
    run_launcher
    expect_replaced to_local signed_a_expired_cs_7
    set_up signed_a_expired_cs_7 signed_a_4
    run_launcher
    expect_replaced to_store signed_a_expired_cs_7
    ;;

  unreadable_signature)
    # A local copy whose signature no longer decodes is still signed: nothing unsigned, nor
    # anything else, replaces it, and it replaces nothing signed. In the store, which anyone
    # may write, it pins nothing: any newer copy replaces it, as an unsigned one.
    set_up damaged_a_4 managed_1_0_0_7
    expect_plan "$dir" refuse "its signature cannot be read"
    run_launcher traced
    expect_refused "an unsigned store copy" damaged_a_4 managed_1_0_0_7
    expect_eq "temporaries written" "$(temporaries_opened)" 0
    set_up managed_1_0_0_9 damaged_a_4
    expect_plan "$dir" replace-store "the local copy is newer"
    run_launcher
    expect_replaced "to_store, an unsigned local copy" managed_1_0_0_9
    refused_both_ways damaged_a_7 "its signature cannot be read" before_copy
    ;;

  store_pin_needs_trust)
    # Anyone may write the store, so there only an intact signature that reaches a trusted root
    # pins, time aside: a self-signed copy with A's subject, A's copy whose signature no longer
    # decodes and A's copy changed after signing are replaced by B's newer copy as if unsigned;
    # A's expired copy still pins.
    for planted in signed_self_a_4 damaged_a_4 tampered_a_7; do
      set_up signed_b_9 "$planted"
      expect_plan "$dir" replace-store "local copy at revision 9: the local copy is newer"
      run_launcher
      expect_replaced "to_store over $planted" signed_b_9
    done
    set_up signed_b_9 signed_a_expired_4
    reason='Publisher B"", not by "C=NO, O="Norvik Test Publisher A"'
    expect_plan "$dir" refuse "$reason"
    run_launcher
    expect_refused "an expired store copy of A" signed_b_9 signed_a_expired_4
    grep -qF "$reason" "$trace" || fail "the launcher's cause is not the plan's: $(cat "$trace")"
    ;;

  agreement)
    # Every signed test file: revision-probe's verdict is osslsigncode's, with the test roots as
    # the trusted ones, for code and for timestamps, except where the launcher is deliberately
    # stricter: these it must refuse, for the reason given. osslsigncode 2.9 honours a timestamp
    # (a token or a legacy countersignature) by a key that names no time-stamping usage (no
    # extended key usage at all), and one dated
    # ahead of the clock; the launcher counts neither: the first would let any key without usages
    # under a trusted root date a signature, the second would date one in advance. It also takes
    # junk inside the signature's entry after the signature, where the launcher lets nothing ride
    # along unsigned, and MD5 digests, for which collisions can be made. It reads the extended key
    # usage of the signer's (or the authority's) certificate alone, not of the CAs above it.
    declare -A stricter=(
      [signed_a_by_tls_ca_7.exe]="for code signing: not valid for the usage asked"
      [signed_a_expired_self_cs_7.exe]="its authority's chain for time stamping: not valid for the usage"
      [signed_a_expired_self_ts_7.exe]="its authority is not for time stamping"
      [signed_a_expired_ts_no_usage_7.exe]="its authority is not for time stamping"
      [signed_a_expired_cs_no_usage_7.exe]="its authority is not for time stamping"
      [signed_a_future_ts_7.exe]="is in the future"
      [junk_in_entry_a_7.exe]="bytes follow the signature inside its entry"
      [signed_a_md5_7.exe]="the signer's digest algorithm is MD5, which is refused"
    )
    # Refused by both, for a reason revision-probe must name.
    declare -A named=(
      [second_entry_a_7.exe]="a second entry follows the signature's"
      [junk_in_table_a_7.exe]="4096 bytes follow the signature's entry in the table"
      [grown_table_a_7.exe]="314572800 bytes follow the signature's entry in the table"
      [junk_after_table_a_7.exe]="4096 bytes follow the table"
      [signed_a_by_b_7.exe]="issued by a certificate that is no CA"
      [signed_a_by_sub_ca_7.exe]="for code signing: a CA's path length constraint is exceeded"
    )
    mkdir -p "$drive_c/work/agreement"
    rm -f "$drive_c/work/agreement"/*
    names=()
    for file in "$signed"/*.exe; do
      cp "$file" "$drive_c/work/agreement/"
      names+=("C:\\work\\agreement\\$(basename "$file")")
    done
    probe="$build/agreement-probe.txt"
    (cd "$drive_c/work" && timeout 120 wine "$build/revision-probe.exe" "${names[@]}") \
      >"$probe" 2>&1 || true
    differences=()
    for file in "$signed"/*.exe; do
      name=$(basename "$file")
      line=$(grep -F "\\$name"$'\t' "$probe" || true)
      [ -n "$line" ] || fail "revision-probe gave no line for $name (see $probe)"
      ours=refuses
      [ "$(cut -f5 <<<"$line" | tr -d '\r')" = verifies ] && ours=accepts
      theirs=refuses
      osslsigncode verify -CAfile "$signed/pki/root.pem" -TSA-CAfile "$signed/pki/root.pem" \
        -in "$file" >/dev/null 2>&1 && theirs=accepts
      if [ -n "${stricter[$name]:-}" ]; then
        [ "$ours" = refuses ] && [[ "$line" == *"${stricter[$name]}"* ]] ||
          differences+=("$name: revision-probe should say '${stricter[$name]}': $line")
      elif [ "$ours" != "$theirs" ]; then
        differences+=("$name: revision-probe $ours, osslsigncode $theirs")
      elif [ -n "${named[$name]:-}" ] && [[ "$line" != *"${named[$name]}"* ]]; then
        differences+=("$name: revision-probe should say '${named[$name]}': $line")
      fi
    done
    [ ${#differences[@]} -eq 0 ] || fail "$(printf '%s; ' "${differences[@]}")"
    echo "agreement: ${#names[@]} signed files, ${#stricter[@]} of them refused deliberately"
    ;;

  planted_unsigned_65535)
    # The highest revision there is, unsigned, planted in the store.
    set_up signed_a_7 managed_65535
    expect_plan "$dir" refuse "not signed, and the copy it would replace is"
    run_launcher traced
    expect_refused "planted 65535.65535.65535.65535" signed_a_7 managed_65535
    expect_eq "temporaries written" "$(temporaries_opened)" 0
    ;;

  unsigned_older)
    # An unsigned older copy is replaced by any newer one, signed or not.
    for pair in "managed_1_0_0_4 managed_1_0_0_7" "managed_1_0_0_4 signed_a_7"; do
      set_up "${pair% *}" "${pair#* }"
      expect_plan "$dir" replace-local "the store's copy is newer"
      run_launcher
      expect_replaced to_local "${pair#* }"
    done
    for pair in "managed_1_0_0_9 managed_1_0_0_6" "signed_b_7 managed_1_0_0_4"; do
      set_up "${pair% *}" "${pair#* }"
      expect_plan "$dir" replace-store "the local copy is newer"
      run_launcher
      expect_replaced to_store "${pair% *}"
    done
    ;;

  held_for_writing)
    # Another process still has the newer store copy open for writing: nothing is copied. Once
    # it has closed the file, the next run copies it, so the refusal was the open file's.
    set_up managed_1_0_0_4 managed_1_0_0_7
    mkdir -p "$drive_c/work"
    marker="$drive_c/work/held.marker"
    rm -f "$marker"
    (cd "$drive_c/work" && exec timeout 120 wine "$helpers/hold_open.exe" \
      'C:\Brelvance\UpdateFile\10001000\0005\Norvik_Studio.exe' 'C:\work\held.marker' 60000) &
    holder=$!
    for _ in $(seq 200); do [ -e "$marker" ] && break; sleep 0.1; done
    [ -e "$marker" ] || fail "hold_open did not open the store copy"
    run_launcher
    rm -f "$marker"
    wait "$holder" || fail "hold_open failed"
    expect_refused "store copy open for writing" managed_1_0_0_4 managed_1_0_0_7
    rm -f "$dir"/Norvik_Studio.started.*.txt
    run_launcher
    expect_replaced "to_local, once closed" managed_1_0_0_7
    ;;

  cut_after_version)
    set_up managed_1_0_0_4 none
    mkdir -p "$store"
    cut_after_version_record "$fixtures/managed_1_0_0_7.exe" "$store/Norvik_Studio.exe"
    cp "$store/Norvik_Studio.exe" "$build/cut_1_0_0_7.exe"
    expect_plan "$dir" refuse "not a whole program image"
    run_launcher
    expect_eq "exit status" "$status" 1
    expect_copy "the local copy" "$dir/Norvik_Studio.exe" managed_1_0_0_4
    same_file "$store/Norvik_Studio.exe" "$build/cut_1_0_0_7.exe" || fail "the store copy changed"
    expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    expect_no_temporaries
    rm -f "$build/cut_1_0_0_7.exe"
    ;;

  linked_store_folder | linked_brelvance)
    # A Unix symbolic link to a folder, which Wine shows as a reparse point, in place of the
    # store's folder 0005 or of C:\Brelvance: the folder it leads to holds a newer copy (not to
    # be read) or an older one (not to be written).
    if [ "$scenario" = linked_store_folder ]; then
      link="$store" target="$drive_c/Elsewhere/0005" beyond="$drive_c/Elsewhere/0005"
    else
      link="$drive_c/Brelvance" target="$drive_c/Elsewhere/Brelvance"
      beyond="$target/UpdateFile/10001000/0005"
    fi
    for pair in "managed_1_0_0_4 managed_1_0_0_7" "managed_1_0_0_9 managed_1_0_0_6"; do
      set_up "${pair% *}" none
      mkdir -p "$beyond" "$(dirname "$link")"
      cp "$(copy_of "${pair#* }")" "$beyond/Norvik_Studio.exe"
      ln -s "$target" "$link"
      expect_plan "$dir" refuse "HoldFolder"
      run_launcher traced
      expect_eq "exit status ($pair)" "$status" 1
      expect_copy "the local copy ($pair)" "$dir/Norvik_Studio.exe" "${pair% *}"
      expect_eq "starts ($pair)" "$(starts_of "$dir/Norvik_Studio.exe")" 1
      expect_eq "files beyond the link ($pair)" "$(ls -A "$beyond")" Norvik_Studio.exe
      expect_copy "the copy beyond the link ($pair)" "$beyond/Norvik_Studio.exe" "${pair#* }"
      opened=$(grep -c 'NtCreateFile .*name=L"[^"]*\\0005\\\\[^"]*"' "$trace" || true)
      expect_eq "files opened in the store ($pair)" "$opened" 0
      expect_eq "temporaries beside the local copy" "$(temporaries_in "$dir")" 0
    done
    ;;

  *)
    fail "unknown scenario $scenario"
    ;;
esac
echo "ok: $scenario"
