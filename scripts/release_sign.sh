# Signing for scripts/release.sh, sourced by it: Authenticode with osslsigncode, SHA-256, an
# RFC 3161 timestamp when a server is given, and the check of every signature made.
# shellcheck shell=bash disable=SC2154  # sign_mode, certs, key, ... are release.sh's
# Set by release.sh before sign_prepare: sign_mode (key or command), certs, key, sign_command,
# timestamp. Secrets come from the environment only (RELEASE_SIGN_PASSWORD or
# RELEASE_SIGN_PASSWORD_FILE, the passphrase of a key file or a token's PIN) and are handed to
# osslsigncode through -readpass on a pipe, so that they never appear in a process's arguments
# nor in a file of ours.

sign_fail() {  # sign_fail MESSAGE: one line, the cause
  echo "release: $*" >&2
  exit 1
}

# Reads the certificates, finds the key and the passphrase, all before anything is built:
# a wrong name should cost no build. Fills $sign_dir (private, removed by release.sh) with the
# chain in PEM, the trust anchors for the checks and the leaf's SHA-256.
sign_prepare() {  # sign_prepare DIR
  sign_dir=$1
  [ -r "$certs" ] && [ -f "$certs" ] || sign_fail "$certs: no such certificate file"
  # PEM with the publisher's certificate first, or one certificate in DER.
  if grep -q -- '-----BEGIN CERTIFICATE-----' "$certs"; then
    openssl crl2pkcs7 -nocrl -certfile "$certs" 2>/dev/null |
      openssl pkcs7 -print_certs 2>/dev/null | grep -v -e '^subject=' -e '^issuer=' -e '^$' \
      > "$sign_dir/chain.pem" || true
  else
    openssl x509 -inform DER -in "$certs" -out "$sign_dir/chain.pem" 2>/dev/null || true
  fi
  grep -q -- '-----BEGIN CERTIFICATE-----' "$sign_dir/chain.pem" 2>/dev/null ||
    sign_fail "$certs: no certificate in it (PEM or DER)"
  openssl x509 -in "$sign_dir/chain.pem" -out "$sign_dir/leaf.pem"
  leaf_hash=$(openssl x509 -in "$sign_dir/leaf.pem" -outform DER | sha256sum | cut -d' ' -f1)
  leaf_subject=$(openssl x509 -in "$sign_dir/leaf.pem" -noout -subject -nameopt RFC2253 |
    sed 's/^subject=//')
  # What the checks trust: the roots the publisher's chain ends in (the self-signed certificates
  # of CERTS), and the system's roots. Never the publisher's own certificate or a CA below a
  # root: trusting those would let a chain that leads nowhere pass.
  : > "$sign_dir/trust.pem"
  local split=$sign_dir/split cert
  mkdir "$split"
  awk -v dir="$split" '/-----BEGIN CERTIFICATE-----/ { n++ } n { print > (dir "/" n ".pem") }' \
    "$sign_dir/chain.pem"
  for cert in "$split"/*.pem; do
    [ "$(openssl x509 -in "$cert" -noout -subject_hash)" = \
      "$(openssl x509 -in "$cert" -noout -issuer_hash)" ] && cat "$cert" >> "$sign_dir/trust.pem"
  done
  [ ! -f /etc/ssl/certs/ca-certificates.crt ] ||
    cat /etc/ssl/certs/ca-certificates.crt >> "$sign_dir/trust.pem"
  [ -s "$sign_dir/trust.pem" ] ||
    sign_fail "$certs: no root to check the signatures against (add the chain's root to it)"

  if [ -n "${RELEASE_SIGN_PASSWORD:-}" ] && [ -n "${RELEASE_SIGN_PASSWORD_FILE:-}" ]; then
    sign_fail "RELEASE_SIGN_PASSWORD and RELEASE_SIGN_PASSWORD_FILE are both set: give one"
  fi
  if [ -n "${RELEASE_SIGN_PASSWORD_FILE:-}" ]; then
    [ -r "$RELEASE_SIGN_PASSWORD_FILE" ] && [ -f "$RELEASE_SIGN_PASSWORD_FILE" ] ||
      sign_fail "RELEASE_SIGN_PASSWORD_FILE: $RELEASE_SIGN_PASSWORD_FILE cannot be read"
  fi

  key_args=()
  case "$sign_mode:$key" in
    command:*) ;;
    key:pkcs11:*)
      local module=${RELEASE_PKCS11_MODULE:-} engine
      [[ $key != *pin-value=* ]] ||
        sign_fail "the PKCS#11 URI holds the PIN: give it in RELEASE_SIGN_PASSWORD instead"
      [ -n "$module" ] || sign_fail "$key is a PKCS#11 URI: set RELEASE_PKCS11_MODULE to its module"
      [ -f "$module" ] || sign_fail "RELEASE_PKCS11_MODULE: $module: no such module"
      engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
      [ -f "$engine" ] ||
        sign_fail "no PKCS#11 engine at $engine (scripts/setup.sh --release installs it)"
      # The engine by its id, not by its path: osslsigncode 2.5 (Debian 12's) cannot load it
      # by path ("Failed to set 'dynamic' engine"); 2.5 and 2.9 both find it by id.
      key_args=(-pkcs11module "$module" -certs "$sign_dir/chain.pem" -key "$key") ;;
    key:*)
      [ -f "$key" ] && [ -r "$key" ] || sign_fail "$key: no such key file"
      if grep -q -- '-----BEGIN' "$key"; then
        key_args=(-certs "$sign_dir/chain.pem" -key "$key")
      else
        # A PKCS#12 file carries its own certificates; the chain given is the one to sign with.
        key_args=(-pkcs12 "$key" -certs "$sign_dir/chain.pem")
      fi ;;
  esac
}

# osslsigncode with the passphrase, if any, on a pipe: -readpass takes a file, and a process
# substitution is one that only this osslsigncode can read, written by the shell itself.
with_password() {  # with_password osslsigncode ARG...
  if [ -n "${RELEASE_SIGN_PASSWORD:-}" ]; then
    "$@" -readpass <(printf '%s' "$RELEASE_SIGN_PASSWORD")
  elif [ -n "${RELEASE_SIGN_PASSWORD_FILE:-}" ]; then
    "$@" -readpass "$RELEASE_SIGN_PASSWORD_FILE"
  else
    "$@"
  fi
}

# The cause of a failed osslsigncode sign or add, from its output, in one line.
sign_cause() {  # sign_cause LOG FILE
  local log=$1 file=$2 given=false
  [ -z "${RELEASE_SIGN_PASSWORD:-}${RELEASE_SIGN_PASSWORD_FILE:-}" ] || given=true
  if grep -q 'PIN incorrect' "$log"; then
    echo "the token refused the PIN given in RELEASE_SIGN_PASSWORD${RELEASE_SIGN_PASSWORD_FILE:+_FILE}"
  elif grep -q -e 'PIN_LEN_RANGE' -e 'Login failed' "$log"; then
    echo "the token needs its PIN: set RELEASE_SIGN_PASSWORD or RELEASE_SIGN_PASSWORD_FILE"
  elif grep -q 'No matching initialized token' "$log"; then
    echo "no token of $RELEASE_PKCS11_MODULE matches $key"
  elif grep -q -e 'object not found' -e 'private key was not found' "$log" && $given; then
    echo "the token has no private key $key"
  elif grep -q -e 'object not found' -e 'private key was not found' "$log"; then
    echo "the token shows no private key $key without its PIN: set RELEASE_SIGN_PASSWORD or" \
      "RELEASE_SIGN_PASSWORD_FILE"
  elif grep -q 'Wrong password' "$log" && $given; then
    echo "the passphrase in RELEASE_SIGN_PASSWORD${RELEASE_SIGN_PASSWORD_FILE:+_FILE} does not open $key"
  elif grep -q 'Wrong password' "$log"; then
    echo "$key needs its passphrase: set RELEASE_SIGN_PASSWORD or RELEASE_SIGN_PASSWORD_FILE"
  elif grep -q 'key values mismatch' "$log"; then
    echo "the certificate in $certs ($leaf_subject) does not match the key $key"
  elif grep -q -e 'RFC 3161 timestamping failed' -e 'HTTP failure' "$log"; then
    echo "no timestamp from $timestamp for $file: $(grep -m1 -o -e 'Connection refused' \
      -e 'HTTP failure.*' -e 'Failed to get data.*' "$log" || echo 'it answered with none')"
  else
    echo "osslsigncode could not sign $file: $(grep -v -e '^[0-9A-F]*:error:' -e '^Failed$' \
      -e '^$' "$log" | tail -1)"
  fi
}

# Signs FILE in place: with the key, or by the publisher's command; then the timestamp.
sign_file() {  # sign_file FILE
  local file=$1 log=$sign_dir/sign.log status=0 ts=()
  [ -z "$timestamp" ] || ts=(-ts "$timestamp")
  if [ "$sign_mode" = key ]; then
    with_password osslsigncode sign "${key_args[@]}" -h sha256 -n "Norvik Studio" "${ts[@]}" \
      -in "$file" -out "$file.signed" </dev/null >"$log" 2>&1 || status=$?
    [ "$status" = 0 ] || sign_fail "$(sign_cause "$log" "$(basename "$file")")"
    mv "$file.signed" "$file"
    return 0
  fi
  # The command line as the publisher gave it, the file's path its last argument.
  bash -c "$sign_command"' "$1"' sign-command "$file" </dev/null >"$log" 2>&1 || status=$?
  [ "$status" = 0 ] || sign_fail "the signing command failed on $(basename "$file")" \
    "(status $status): $(grep -v '^$' "$log" | tail -1)"
  [ -n "$timestamp" ] || return 0
  osslsigncode add "${ts[@]}" -h sha256 -in "$file" -out "$file.stamped" </dev/null >"$log" 2>&1 ||
    sign_fail "$(sign_cause "$log" "$(basename "$file")")"
  mv "$file.stamped" "$file"
}

# FILE carries one signature, by the publisher's certificate, that verifies up to a root of
# the chain given (or the system's), and with a server given, a timestamp that verifies too.
verify_file() {  # verify_file FILE
  local file=$1 log=$sign_dir/verify.log cause
  if osslsigncode verify -CAfile "$sign_dir/trust.pem" -TSA-CAfile "$sign_dir/trust.pem" \
      -require-leaf-hash "sha256:$leaf_hash" -in "$file" </dev/null >"$log" 2>&1 &&
    grep -qx 'Signature verification: ok' "$log" &&
    grep -qx 'Number of verified signatures: 1' "$log"; then
    [ -z "$timestamp" ] || grep -qx 'Timestamp Server Signature verification: ok' "$log" ||
      sign_fail "$(basename "$file") carries no timestamp that verifies"
    return 0
  fi
  if grep -q 'Leaf hash match: failed' "$log"; then
    cause="it is not signed by the certificate in $certs ($leaf_subject)"
  elif grep -q 'MISMATCH' "$log"; then
    cause="its content does not match the digest it was signed with"
  elif grep -q 'No signature found' "$log"; then
    cause="it carries no signature"
  elif cause=$(grep -m1 -o 'Verify error: .*' "$log"); then
    cause="${cause#Verify error: }"
  else
    cause=$(grep -v -e '^[0-9A-F]*:error:' -e '^Failed$' -e '^$' -e '^\s' "$log" | tail -1)
  fi
  sign_fail "the signature of $(basename "$file") does not verify against $certs: $cause"
}
