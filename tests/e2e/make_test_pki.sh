#!/usr/bin/env bash
# The test PKI of the signature scenarios, and the managed test programs signed with it:
#   make_test_pki.sh OUT_DIR [FIXTURE_DIR]
# OUT_DIR/pki holds the certificates and keys:
#   root               the test root, trusted by the scenarios' Wine prefix
#   ca                 the code-signing CA under that root
#   a, a_renewed, b    publishers under that CA (a_renewed: A's subject, a new key and serial)
#   a_printable        A renewed, its subject's values encoded as PrintableString, not UTF8String
#   a_nul              A's subject with its common name followed by a NUL and more
#   untrusted_root     a root nobody trusts, and untrusted_a: A's subject under it
#   a_tls              A's subject on a certificate for TLS servers only
#   a_expired          A's subject on a certificate that expired a year ago
#   a_expired_no_usage the same, without extended key usage (good for any to the chain engine)
#   a_future           A's subject on a certificate valid only from 30 days ahead
#   a_by_b             A's subject on a certificate signed by B, which is no CA
#   self_a             A's subject on a self-signed certificate for code signing: anyone's
#   sub_ca             a CA under the CA, whose path length (0) allows no CA below it
#   a_by_sub_ca        A's subject on a certificate signed by sub_ca
#   tsa                a time-stamping authority under the CA
#   tsa_no_usage       a key under the CA without extended key usage, used as a TSA
#   tls_ca, code_ca    CAs under the root whose extended key usage allows only TLS servers, or
#                      only code signing: the certificates they sign are good for nothing else,
#                      whatever their own usages say
#   a_by_tls_ca        A's subject on a certificate signed by tls_ca
#   a_expired_stamping A's subject on a certificate signed by code_ca that expired a year ago,
#                      naming time stamping too
# and for those that sign, NAME_chain.pem: the chain their signatures carry. Each CA's openssl
# configuration is test_pki_ca.cnf.
# The root and the CA are valid since ten years ago, so a chain can be judged as of a past
# timestamp. With FIXTURE_DIR (the folder of managed_*.exe) the signed programs go into OUT_DIR;
# timestamps come from a loopback TSA (loopback_tsa.py). Only openssl, osslsigncode, faketime and
# python, no network. What is already made is kept, but the PKI is made again once a_future
# would be valid within 10 days: it must stay not yet valid, and its file's timestamp (40 days
# ahead when signed) in the future.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
fixtures=${2:-}
pki="$out/pki"
# Where make_pki builds a PKI, which then replaces $pki whole; every step of it writes there.
work=

subject_a="/C=NO/O=Norvik Test Publisher A/CN=Norvik Test Publisher A"
subject_b="/C=NO/O=Norvik Test Publisher B/CN=Norvik Test Publisher B"
# The test root's organisation, which the CAs and keys under it share.
root_org="/C=NO/O=Norvik Test Root"

fail() {
  echo "make_test_pki: $*" >&2
  exit 1
}

# A CA's folder: its database, and its openssl configuration (test_pki_ca.cnf) pointing there.
ca_config() {  # ca_config NAME
  local dir="$work/$1"
  mkdir -p "$dir/new"
  : > "$dir/index.txt"
  openssl rand -hex 16 > "$dir/serial"
  sed "s|^dir = CA_FOLDER\$|dir = $dir|" "$here/test_pki_ca.cnf" > "$dir/openssl.cnf"
}

# openssl ca takes explicit dates; the start lies in the past so that a clock a few hours off,
# or a time zone, does not make a certificate not yet valid.
stamp() { date -u -d "$1" +%Y%m%d%H%M%SZ; }

# Makes the certificate $work/NAME.pem for subject SUBJECT with a new key, signed by the CA BY
# (with its BY.key, and its CA folder, made when it first signs), or self-signed when BY is "self",
# valid from DAYS_FROM days ago (ahead when negative) for DAYS days. The subject's values are
# UTF8String, or of the types openssl's STRING_MASK allows ("default": PrintableString where the
# characters allow it).
certify() {  # certify NAME SUBJECT BY EXTENSIONS DAYS_FROM DAYS [STRING_MASK]
  local name=$1 subject=$2 by=$3 extensions=$4 from=$5 days=$6
  local signing=(-cert "$work/$by.pem")
  if [ "$by" = self ]; then
    by=$name
    signing=(-selfsign)
  fi
  [ -f "$work/$by/index.txt" ] || ca_config "$by"
  local config="$work/$by/openssl.cnf"
  local request_config=$config
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  if [ -n "${7:-}" ]; then
    request_config="$work/$name.req.cnf"
    sed "s/^string_mask = .*/string_mask = $7/" "$config" > "$request_config"
  fi
  # -preserveDN below keeps the request's encoding of each value.
  openssl req -new -config "$request_config" -utf8 -key "$work/$name.key" -subj "$subject" \
    -out "$work/$name.csr"
  openssl ca -batch -notext -config "$config" -preserveDN -keyfile "$work/$by.key" \
    "${signing[@]}" -extensions "$extensions" -in "$work/$name.csr" -out "$work/$name.pem" \
    -startdate "$(stamp "$from days ago")" -enddate "$(stamp "$from days ago + $days days")" \
    2>/dev/null || fail "openssl ca could not make $name"
  openssl x509 -in "$work/$name.pem" -outform DER -out "$work/$name.der"
  # A's subject asked for again comes out as a's, byte for byte, whichever CA signs it.
  if [ "$subject" = "$subject_a" ] && [ -z "${7:-}" ] &&
    [ "$(encoded_subject "$work/$name.pem")" != "$(encoded_subject "$work/a.pem")" ]; then
    fail "$name does not carry A's subject byte for byte"
  fi
}

# The subject exactly as encoded: each attribute's value with its string type, in hex.
encoded_subject() { openssl x509 -in "$1" -noout -subject -nameopt RFC2253,dump_all,dump_der; }
# The subject as characters, whatever their encoding.
subject_text() { openssl x509 -in "$1" -noout -subject -nameopt RFC2253; }

# SIGNER's chain as its signatures carry it, $work/SIGNER_chain.pem: its certificate, then those
# of the CAs CA... above it, up to, not including, a trusted root.
chain() {  # chain SIGNER [CA...]
  local name
  for name in "$@"; do cat "$work/$name.pem"; done > "$work/${1}_chain.pem"
}

make_pki() {
  work=$(mktemp -d "$out/.pki.XXXXXX")
  certify root "$root_org/CN=Norvik Test Root" self root_ext 3650 7300
  certify ca "$root_org/CN=Norvik Test Code Signing CA" root ca_ext 3650 7300
  certify a "$subject_a" ca signer_ext 1 3650
  certify a_renewed "$subject_a" ca signer_ext 1 3650
  certify a_printable "$subject_a" ca signer_ext 1 3650 default
  # openssl writes no NUL into a name: a placeholder, replaced and signed again by the CA.
  certify a_nul "$subject_a#planted" ca signer_ext 1 3650
  python3 "$here/signature_surgery.py" nul "$work/a_nul.der" "Publisher A#planted" "$work/ca.key" ||
    fail "signature_surgery.py could not put a NUL into a_nul's name"
  openssl x509 -inform DER -in "$work/a_nul.der" -out "$work/a_nul.pem"
  certify b "$subject_b" ca signer_ext 1 3650
  certify untrusted_root "/C=NO/O=Norvik Untrusted Root/CN=Norvik Untrusted Root" self \
    root_ext 2 7300
  certify untrusted_a "$subject_a" untrusted_root signer_ext 1 3650
  certify a_tls "$subject_a" ca tls_ext 1 3650
  certify a_expired "$subject_a" ca signer_ext 400 30
  certify a_expired_no_usage "$subject_a" ca no_usage_ext 400 30
  certify a_future "$subject_a" ca signer_ext -30 3650
  certify self_a "$subject_a" self signer_ext 1 3650
  certify tsa "$root_org/CN=Norvik Test Time Stamping" ca tsa_ext 3650 7300
  certify tsa_no_usage "$root_org/CN=Norvik Test Key Without Usages" ca no_usage_ext 3650 7300
  certify a_by_b "$subject_a" b signer_ext 1 3650
  certify sub_ca "$root_org/CN=Norvik Test Sub-CA" ca ca_ext 3650 7300
  certify a_by_sub_ca "$subject_a" sub_ca signer_ext 1 3650
  certify tls_ca "$root_org/CN=Norvik Test TLS CA" root tls_ca_ext 3650 7300
  certify a_by_tls_ca "$subject_a" tls_ca signer_ext 1 3650
  certify code_ca "$root_org/CN=Norvik Test Code-Only CA" root code_ca_ext 3650 7300
  certify a_expired_stamping "$subject_a" code_ca signer_tsa_ext 400 30
  if [ "$(subject_text "$work/a_printable.pem")" != "$(subject_text "$work/a.pem")" ] ||
    ! encoded_subject "$work/a_printable.pem" | grep -q 'CN=#13.*O=#13'; then
    fail "a_printable does not carry A's subject as PrintableString"
  fi
  encoded_subject "$work/a_nul.pem" | grep -q '4100706C616E746564' ||
    fail "a_nul's name has no NUL after A's common name"
  [ "$(openssl x509 -in "$work/a_renewed.pem" -noout -serial)" != \
    "$(openssl x509 -in "$work/a.pem" -noout -serial)" ] || fail "A renewed kept A's serial"
  for name in a a_renewed a_printable a_nul b a_tls a_expired a_expired_no_usage a_future tsa; do
    chain "$name" ca
  done
  # The untrusted one carries its root as well, so its chain is whole but ends at a root nobody
  # trusts.
  chain untrusted_a untrusted_root
  chain a_by_b b ca
  chain a_by_sub_ca sub_ca ca
  chain a_by_tls_ca tls_ca
  chain a_expired_stamping code_ca
  chain self_a
  tsa_config
  # What a_partial signs with: A's key, and A's certificate without the CA's.
  cp "$work/a.pem" "$work/a_alone.pem"
  openssl verify -CAfile "$work/root.pem" -untrusted "$work/ca.pem" \
    "$work/a.pem" "$work/a_renewed.pem" "$work/a_printable.pem" "$work/a_nul.pem" "$work/b.pem" \
    >/dev/null || fail "the chain does not verify"
  rm -rf "$pki"
  mv "$work" "$pki"
  # What was signed with an earlier PKI is signed again.
  rm -f "$out"/*.exe
}

# The configuration of `openssl ts -reply` for the test TSA, with paths where the PKI ends up.
tsa_config() {
  mkdir -p "$work/tsa"
  openssl rand -hex 8 > "$work/tsa/serial"
  cat > "$work/tsa/openssl.cnf" <<EOF
[ tsa ]
default_tsa = this_tsa
[ this_tsa ]
serial = $pki/tsa/serial
signer_cert = $pki/tsa.pem
certs = $pki/tsa_chain.pem
signer_key = $pki/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.59999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
}

# Starts, once, a loopback TSA that signs with the PKI's key TSA and dates its tokens now ("now")
# or at a time given to faketime ("385 days ago"); tsa_ports[TSA@TIME] is then its port. A key
# other than tsa has no time-stamping usage, which `openssl ts` refuses, so loopback_tsa.py
# assembles its tokens itself, as it does with legacy=1 for the legacy countersignatures. Each is
# ended with this script. Not to be called in a subshell:
# the server would keep its output open.
tsa_pids=()
trap '[ ${#tsa_pids[@]} -eq 0 ] || kill "${tsa_pids[@]}" 2>/dev/null || true' EXIT
declare -A tsa_ports=()
start_tsa() {  # [legacy=1] start_tsa TSA now|FAKETIME
  local name=$1@$2${legacy:+@legacy}
  [ -z "${tsa_ports[$name]:-}" ] || return 0
  local port_file fake=("$2") by=(--by "$pki/$1.pem" "$pki/$1.key" "$pki/ca.pem")
  port_file=$(mktemp -u "$out/.tsa-port.XXXXXX")
  [ "$2" = now ] && fake=()
  # Legacy requests are answered only by a TSA that signs with --by.
  [ "$1" = tsa ] && [ -z "${legacy:-}" ] && by=("$pki/tsa/openssl.cnf")
  python3 "$here/loopback_tsa.py" "$port_file" "${by[@]}" "${fake[@]}" </dev/null >/dev/null &
  tsa_pids+=($!)
  for _ in $(seq 200); do [ -s "$port_file" ] && break; sleep 0.05; done
  [ -s "$port_file" ] || fail "the loopback TSA did not start"
  tsa_ports[$name]=$(cat "$port_file")
  rm -f "$port_file"
}

# A copy in OUT_DIR is named by what it is and the revision it holds, NAME_REVISION.exe.
copy() { echo "$out/$1.exe"; }

# Signs the managed test program of REVISION (managed_1_0_0_REVISION.exe) with SIGNER's key and
# chain into the copy signed_LABEL_REVISION (LABEL is SIGNER unless given), unless that is already
# newer than the program; with TIMESTAMP ("now" or a time for faketime) an RFC 3161 timestamp of
# that time by TSA (the PKI's tsa unless named) is added, or with legacy=1 a legacy
# countersignature. The digests are SHA-256, or DIGEST's.
sign() {  # [digest=DIGEST] [legacy=1] sign REVISION SIGNER [LABEL [TIMESTAMP [TSA]]]
  local in="$fixtures/managed_1_0_0_$1.exe" signer=$2 target
  local timestamp=() tsa=${5:-tsa}
  target=$(copy "signed_${3:-$2}_$1")
  [ "$target" -nt "$in" ] && return 0
  if [ -n "${4:-}" ]; then
    start_tsa "$tsa" "$4"
    local flag=-ts
    [ -z "${legacy:-}" ] || flag=-t
    timestamp=("$flag" "http://127.0.0.1:${tsa_ports[$tsa@$4${legacy:+@legacy}]}")
  fi
  local key="$pki/$signer.key" chain="$pki/${signer}_chain.pem"
  [ "$signer" = a_partial ] && key="$pki/a.key" chain="$pki/a_alone.pem"
  rm -f "$target.part"
  osslsigncode sign -certs "$chain" -key "$key" -h "${digest:-sha256}" -n "Norvik Studio" \
    "${timestamp[@]}" -in "$in" -out "$target.part" >/dev/null ||
    fail "osslsigncode could not sign $target"
  mv "$target.part" "$target"
}

# A copy made from signed ones by signature_surgery.py, its arguments as the script takes them
# but with each copy named as in OUT_DIR (ending in its revision); unless OUT is already newer
# than IN.
surgery() {  # surgery WHAT IN... [WHERE SIZE] OUT
  local arg args=()
  for arg in "$@"; do
    case "$arg" in *_[0-9]) args+=("$(copy "$arg")") ;; *) args+=("$arg") ;; esac
  done
  local target=${args[-1]}
  [ "$target" -nt "${args[1]}" ] && return 0
  python3 "$here/signature_surgery.py" "${args[@]}" ||
    fail "signature_surgery.py could not make $target"
}

# Changes one byte of the .text section's padding (hashed by Authenticode, never executed), so
# the signature's digest no longer matches while the program still runs.
tamper() {  # tamper SIGNED OUT
  local signed target
  signed=$(copy "$1") target=$(copy "$2")
  [ "$target" -nt "$signed" ] && return 0
  local sections name virtual_size raw_size raw_start offset=""
  sections=$(python3 "$here/../../scripts/pe_fields.py" sections "$signed") ||
    fail "pe_fields.py could not read the sections of $signed"
  while IFS=$'\t' read -r name virtual_size raw_size raw_start; do
    [ "$name" = .text ] || continue
    [ "$virtual_size" -lt "$raw_size" ] || fail "no padding in .text of $signed"
    offset=$(( raw_start + virtual_size ))
  done <<<"$sections"
  [ -n "$offset" ] || fail "no .text section in $signed"
  cp "$signed" "$target.part"
  printf '\x5a' | dd of="$target.part" bs=1 seek="$offset" conv=notrunc status=none
  if osslsigncode verify -CAfile "$pki/root.pem" -in "$target.part" > "$target.verify" 2>&1 ||
    ! grep -q 'MISMATCH' "$target.verify"; then
    fail "the tampered copy does not report a digest mismatch (see $target.verify)"
  fi
  rm -f "$target.verify"
  mv "$target.part" "$target"
}

# Whether the certificate CERT becomes valid only after DATE (for `date -d`).
valid_only_after() {  # valid_only_after CERT DATE
  local start
  start=$(openssl x509 -in "$1" -noout -startdate | cut -d= -f2)
  [ "$(date -d "$start" +%s)" -gt "$(date -d "$2" +%s)" ]
}

# A PKI is kept when it has a file of each addition made to it (one from before an addition is
# made again) and its a_future stays not yet valid for 10 days more.
current_files=(root.der tsa/openssl.cnf a_future.pem self_a_chain.pem a_by_sub_ca.pem a_nul.pem
  a_expired_stamping_chain.pem)
pki_current() {
  local file
  for file in "${current_files[@]}"; do [ -f "$pki/$file" ] || return 1; done
  valid_only_after "$pki/a_future.pem" "10 days"
}
pki_current || make_pki

[ -n "$fixtures" ] || exit 0
for revision in 4 7 9; do sign "$revision" a; done
for signer in a_renewed a_printable b; do
  sign 7 "$signer"
  sign 9 "$signer"
done
for signer in a_nul untrusted_a a_partial a_tls a_by_b a_by_sub_ca a_by_tls_ca; do
  sign 7 "$signer"
done
sign 4 self_a
sign 7 a a_ts now
digest=md5 sign 7 a a_md5
tamper signed_a_7 tampered_a_7
# a_expired was valid from 400 to 370 days ago.
sign 7 a_expired
sign 4 a_expired
sign 7 a_expired a_expired_ts "385 days ago"
sign 7 a_expired a_expired_late_ts now
# The same, countersigned the legacy way (signtool /t): while valid, after, and by a key without
# the time-stamping usage.
legacy=1 sign 7 a_expired a_expired_cs "385 days ago"
legacy=1 sign 7 a_expired a_expired_late_cs now
legacy=1 sign 7 a_expired a_expired_cs_no_usage "385 days ago" tsa_no_usage
# The expired key countersigning itself while valid: it names time stamping, its CA does not.
legacy=1 sign 7 a_expired_stamping a_expired_self_cs "385 days ago" a_expired_stamping
# Timestamped while valid, but by keys without the time-stamping usage: the expired publisher's
# own, and one under the CA.
sign 7 a_expired_no_usage a_expired_self_ts "385 days ago" a_expired_no_usage
sign 7 a_expired a_expired_ts_no_usage "385 days ago" tsa_no_usage
# A certificate valid from 30 days ahead, with a timestamp made 40 days ahead.
sign 7 a_future a_future_ts "40 days"
surgery transplant signed_a_7 signed_b_9 transplanted_a_9
surgery damage signed_a_4 damaged_a_4
surgery damage signed_a_7 damaged_a_7
surgery retime signed_a_expired_cs_7 retimed_a_expired_cs_7
# Something riding along with A's signature: B's entry after it; junk after its entry, inside it,
# and after the table; 300 MiB of junk with the table grown over it.
surgery second signed_a_7 signed_b_7 second_entry_a_7
surgery junk signed_a_7 table 4096 junk_in_table_a_7
surgery junk signed_a_4 table 4096 junk_in_table_a_4
surgery junk signed_a_7 entry 4096 junk_in_entry_a_7
surgery junk signed_a_7 file 4096 junk_after_table_a_7
surgery junk signed_a_7 table $(( 300 << 20 )) grown_table_a_7
