# Scenarios of signature_scenarios.sh, which sources this file:
# revision-probe's verdict on every signed test file against osslsigncode's.
# shellcheck shell=bash
# shellcheck disable=SC2154  # dir, drive_c, signed, status...: set by signature_scenarios.sh

scenario_agreement() {
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
}
