# Scenarios of signature_scenarios.sh, which sources this file:
# What a signature must show: a chain to a trusted root, for code signing, in time,
# a digest that matches, nothing riding along.
# shellcheck shell=bash
# shellcheck disable=SC2154  # dir, drive_c, signed, status...: set by signature_scenarios.sh

scenario_refused_untrusted_root() {
  # A's subject byte for byte, under a root the prefix does not trust, which the signature
  # carries: the chain is whole but ends at an untrusted root.
  refused_both_ways signed_untrusted_a_7 "the root is not trusted" before_copy
}

scenario_refused_partial_chain() {
  # A's own certificate without the CA that issued it: the chain cannot reach the trusted root.
  refused_both_ways signed_a_partial_7 "the chain does not reach a root" before_copy
}

scenario_refused_tampered() {
  # Signed by A, then one byte of the code section changed: the digest no longer matches.
  refused_both_ways tampered_a_7 "does not match its signature" before_copy
}

scenario_refused_transplanted() {
  # A's signature of another program, its signed digest swapped for this program's: the file
  # digest matches, the signer's messageDigest does not.
  refused_both_ways transplanted_a_9 "does not match the signer's message digest" before_copy
}

scenario_refused_not_for_code_signing() {
  refused_both_ways signed_a_tls_7 "for code signing: not valid for the usage asked" before_copy
  refused_both_ways signed_a_by_b_7 "issued by a certificate that is no CA" before_copy
  # Issued by a sub-CA under the CA, whose path length allows no CA below it.
  refused_both_ways signed_a_by_sub_ca_7 \
    "for code signing: a CA's path length constraint is exceeded" before_copy
  # Issued by a CA for TLS servers only: the chain engine under Wine reads the signer's usages
  # alone, Windows' those of every CA above it too.
  refused_both_ways signed_a_by_tls_ca_7 "for code signing: not valid for the usage asked" \
    before_copy
}

scenario_refused_expired() {
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
}

scenario_refused_timestamp_without_usage() {
  # Expired, with a timestamp made while it was valid by a key without the time-stamping usage
  # (no extended key usage, good for any usage to the chain engine): the expired key itself,
  # and another under the CA, which also countersigns one the legacy way. The timestamp counts
  # as none, so the chain is judged as of now.
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
}

scenario_refused_timestamp_ahead() {
  # A's certificate valid only from 30 days ahead, with a timestamp dated 40 days ahead, when it
  # would be valid.
  refused_both_ways signed_a_future_ts_7 \
    "UTC, is in the future: more than 5 minutes past this machine's clock)" before_copy
}

scenario_refused_table_excess() {
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
}

scenario_refused_md5() {
  # Signed by A with MD5 for its digests.
  refused_both_ways signed_a_md5_7 \
    "the signer's digest algorithm is MD5, which is refused: collisions can be made for it" \
    before_copy
}

scenario_timestamped() {
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
}

scenario_unreadable_signature() {
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
}
