# Scenarios of signature_scenarios.sh, which sources this file:
# Whose copy may replace whose: the same publisher, renewed, another one, unsigned.
# shellcheck shell=bash
# shellcheck disable=SC2154  # dir, drive_c, signed, status...: set by signature_scenarios.sh

scenario_same_publisher() {
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
}

scenario_renewed_publisher() {
  # A's renewed certificate: the same subject, a new key and serial.
  set_up signed_a_4 signed_a_renewed_7
  run_launcher
  expect_replaced to_local signed_a_renewed_7
  set_up signed_a_renewed_9 signed_a_7
  run_launcher
  expect_replaced to_store signed_a_renewed_9
}

scenario_renewed_printable_subject() {
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
}

scenario_refused_unsigned() {
  refused_both_ways managed_1_0_0_7 "not signed, and the copy it would replace is" before_copy
}

scenario_refused_other_publisher() {
  refused_both_ways signed_b_7 'Publisher B"", not by "C=NO, O="Norvik Test Publisher A"' before_copy
}

scenario_refused_nul_in_name() {
  # A's common name followed by a NUL and more: another name, which no message may cut at the
  # NUL to show as A's.
  refused_both_ways signed_a_nul_7 'Publisher A\x00planted", not by "' before_copy
  grep -aqF 'Publisher A\x00planted", not by "' "$trace" ||
    fail "the launcher's refusal does not show the NUL: $(grep -a launcher: "$trace")"
}

scenario_unsigned_older() {
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
}

scenario_planted_unsigned_65535() {
  # The highest revision there is, unsigned, planted in the store.
  set_up signed_a_7 managed_65535
  expect_plan "$dir" refuse "not signed, and the copy it would replace is"
  run_launcher traced
  expect_refused "planted 65535.65535.65535.65535" signed_a_7 managed_65535
  expect_eq "temporaries written" "$(temporaries_opened)" 0
}

scenario_store_pin_needs_trust() {
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
}
