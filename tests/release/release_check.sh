#!/usr/bin/env bash
# The release (scripts/release.sh), one check per call:
#   release_check.sh reproducible   two clones of this tree in different folders, built at
#                                   different times (faketime), under other umasks, time zones
#                                   and languages, give the same dist/, file for file
#   release_check.sh signed         signed releases with each key source and a timestamp, each
#                                   checked against a rebuild; each failure leaves dist/ as it was
#   release_check.sh msi            the signed release's MSI under Wine, in a prefix of its own:
#                                   silent install, the installed launcher's first update,
#                                   upgrade, refused downgrade, uninstall
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/tests/e2e/lib.sh"
work=$(mktemp -d /tmp/norvik-release.XXXXXX)
tsa_pid=""
cleanup() {
  [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The tree as it is, tracked and new files alike, without what is built or ignored.
clone_tree() {  # clone_tree DESTINATION
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$1")
}

reproducible() {
  local one="$work/one/norvik" two="$work/second place/elsewhere/tree" file epoch
  clone_tree "$one"
  clone_tree "$two"
  # The clones are no git checkouts: the commit's time is given as release.sh would read it.
  epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
  (umask 022 && SOURCE_DATE_EPOCH=$epoch TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    RELEASE_DIR="$work/dist-one" "$one/scripts/release.sh" >/dev/null)
  # A year and more later, by the clock every tool reads, elsewhere in the world.
  (umask 077 && SOURCE_DATE_EPOCH=$epoch TZ=Pacific/Kiritimati LANG=POSIX LC_ALL=POSIX \
    faketime -f '+400d' env RELEASE_DIR="$work/dist-two" "$two/scripts/release.sh" >/dev/null)
  expect_eq "the files of the two releases" "$(ls "$work/dist-two" | tr '\n' ' ')" \
    "$(ls "$work/dist-one" | tr '\n' ' ')"
  for file in "$work/dist-one"/*; do
    cmp "$file" "$work/dist-two/${file##*/}" ||
      fail "${file##*/} differs between two builds of the same tree"
  done
  # The checksum checker agrees with osslsigncode, which writes the checksum anew when it signs;
  # and removing the signature gives back the built bytes, so a signed launcher can be compared
  # with a build of its commit.
  local pki="$work/pki"
  mkdir "$pki"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/key.pem" -out "$pki/cert.pem" \
    -subj "/CN=Release check" -days 2 2>/dev/null || fail "openssl could not make a certificate"
  osslsigncode sign -certs "$pki/cert.pem" -key "$pki/key.pem" -h sha256 \
    -in "$work/dist-one/launcher.exe" -out "$pki/signed.exe" >/dev/null || fail "osslsigncode sign"
  python3 "$root/scripts/pe_checksum.py" "$pki/signed.exe" ||
    fail "pe_checksum.py and osslsigncode disagree on the checksum"
  osslsigncode remove-signature -in "$pki/signed.exe" -out "$pki/unsigned.exe" >/dev/null ||
    fail "osslsigncode remove-signature"
  cmp "$pki/unsigned.exe" "$work/dist-one/launcher.exe" ||
    fail "removing the signature does not give back the built launcher"
  echo "ok: reproducible"
}

# The signature scenarios' throw-away PKI (tests/e2e/make_test_pki.sh) in $pki, publisher A's
# certificate with its chain up to the root as a publisher hands it over, and a loopback TSA on
# the PKI's time-stamping key at $tsa_url.
test_pki() {
  bash "$root/tests/e2e/make_test_pki.sh" "$work/signing" >/dev/null 2>&1 ||
    fail "make_test_pki.sh could not make the PKI"
  pki=$work/signing/pki
  for name in a b; do cat "$pki/$name.pem" "$pki/ca.pem" "$pki/root.pem" > "$work/${name}_certs.pem"; done
  python3 "$root/tests/e2e/loopback_tsa.py" "$work/tsa-port" "$pki/tsa/openssl.cnf" \
    </dev/null >/dev/null 2>&1 &
  tsa_pid=$!
  for _ in $(seq 200); do [ -s "$work/tsa-port" ] && break; sleep 0.05; done
  [ -s "$work/tsa-port" ] || fail "the loopback TSA did not start"
  tsa_url=http://127.0.0.1:$(cat "$work/tsa-port")
}

# Each signed file of the release in DIST is signed by A (its very certificate), verifies
# against the test root alone, and carries a timestamp that verifies too; SHA256SUMS lists what
# was shipped.
expect_signed() {  # expect_signed DIST
  local file log a_hash
  a_hash=$(sha256sum < "$pki/a.der" | cut -d' ' -f1)
  for file in launcher.exe revision-probe.exe $(cd "$1" && ls NorvikTools-*.msi); do
    log=$(osslsigncode verify -CAfile "$pki/root.pem" -TSA-CAfile "$pki/root.pem" \
      -require-leaf-hash "sha256:$a_hash" -in "$1/$file" 2>&1) ||
      fail "$file of the signed release does not verify as A's: $(tail -3 <<<"$log")"
    grep -qx 'Timestamp Server Signature verification: ok' <<<"$log" ||
      fail "$file of the signed release carries no timestamp that verifies"
  done
  (cd "$1" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not list what was shipped"
}

# Products of that name that Windows Installer has registered for the user.
installed_products() {
  wine reg query 'HKCU\Software\Microsoft\Installer\Products' /s 2>/dev/null | tr -d '\r' |
    grep -c 'ProductName[[:space:]]*REG_SZ[[:space:]]*Norvik Studio$' || true
}

# A value of the product's entry in Add or Remove Programs. Wine 8 keeps a per-user product's
# entry under HKLM, Windows under HKCU: both are looked in.
arp_value() {  # arp_value NAME
  local hive
  for hive in HKCU HKLM; do
    wine reg query "$hive\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" /s 2>/dev/null
  done | tr -d '\r' | awk -v name="$1" '
    function done_key() { if (ours && found) print value; ours = found = 0 }
    /^HKEY/ { done_key() }
    $1 == "DisplayName" && / REG_SZ +Norvik Studio$/ { ours = 1 }
    $1 == name { found = 1; value = $0; sub(/^ +[^ ]+ +[^ ]+ +/, "", value) }
    END { done_key() }'
}

msiexec_quiet() {  # msiexec_quiet /i|/x MSI_NAME
  local status=0
  (cd "$drive_c" && timeout 120 wine msiexec "$1" "C:\\$2" /qn) || status=$?
  [ "$status" = 0 ] || fail "msiexec $1 $2 ended with status $status"
}

# Starts the installed launcher as its shortcut does; it must end with status 0 and its program
# must record one start.
start_installed() {
  local status=0
  records_of "$folder/Norvik_Studio.exe" | xargs -r -d '\n' rm --
  (cd "$folder" && timeout 60 wine "$folder/launcher.exe") || status=$?
  expect_eq "the installed launcher's exit status" "$status" 0
  for _ in $(seq 100); do [ "$(starts_of "$folder/Norvik_Studio.exe")" -ge 1 ] && break; sleep 0.1; done
  expect_eq "starts" "$(starts_of "$folder/Norvik_Studio.exe")" 1
}

msi() {
  local preset build dist shortcut version
  preset=$(wine_preset)
  build="$root/build/$preset"
  [ -x "$build/launcher.exe" ] || fail "no $preset build in $build"
  dist="$work/dist"
  test_pki
  RELEASE_PRESET=$preset RELEASE_DIR=$dist "$root/scripts/release.sh" \
    --sign "$work/a_certs.pem" "$pki/a.key" --timestamp "$tsa_url" \
    "$build/fixtures/managed_1_0_0_4.exe" >/dev/null
  expect_signed "$dist"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -f "$dist/NorvikTools-$version.msi" ] || fail "no NorvikTools-$version.msi in the release"

  # A new prefix each time: nothing an earlier run installed can count.
  wine_env "$build" "$work/prefix"
  drive_c="$WINEPREFIX/drive_c"
  timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed"
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  own_server
  trap 'end_server; cleanup' EXIT
  local user_folder
  user_folder=$(find "$drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)
  folder="$user_folder/AppData/Local/Programs/Norvik Tools"
  shortcut="$user_folder/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Norvik Studio.lnk"
  local programs_before
  programs_before=$(ls -d "$user_folder/AppData/Local/Programs" 2>/dev/null || true)

  mkdir -p "$drive_c/Brelvance/UpdateFile/10001000/0005"
  cp "$build/fixtures/managed_1_0_0_7.exe" "$drive_c/Brelvance/UpdateFile/10001000/0005/Norvik_Studio.exe"
  local store_before
  store_before=$(folder_state "$drive_c/Brelvance")

  cp "$dist/NorvikTools-$version.msi" "$drive_c/"
  msiexec_quiet /i "NorvikTools-$version.msi"
  expect_eq "installed files" "$(ls "$folder" | tr '\n' ' ')" "Norvik_Studio.exe Ostra.ico launcher.exe "
  # The signed launcher (expect_signed checked the release's signatures).
  same_file "$folder/launcher.exe" "$dist/launcher.exe" || fail "the installed launcher is not the release's"
  same_file "$folder/Norvik_Studio.exe" "$build/fixtures/managed_1_0_0_4.exe" ||
    fail "the installed program is not the one given to release.sh"
  [ -f "$shortcut" ] || fail "no Start-menu shortcut \"Norvik Studio\""
  local names
  names=$(strings -e l "$shortcut")
  grep -qx 'Norvik Tools' <<<"$names" && grep -qx 'launcher.exe' <<<"$names" ||
    fail "the shortcut does not start Norvik Tools\\launcher.exe: $(echo $names)"
  expect_eq "products after install" "$(installed_products)" 1
  expect_eq "the installed version" "$(arp_value DisplayVersion)" "1.0.$((10#${version##*.}))"
  expect_eq "InstallLocation" "$(arp_value InstallLocation)" \
    "$(wine winepath -w "$folder" | tr -d '\r')\\"
  expect_eq "NoModify, NoRepair" "$(arp_value NoModify) $(arp_value NoRepair)" "0x1 0x1"

  # The installed launcher, started as the shortcut starts it, pulls the store's newer copy.
  start_installed
  same_file "$folder/Norvik_Studio.exe" "$build/fixtures/managed_1_0_0_7.exe" ||
    fail "the installed launcher did not replace the older program"

  # The next release (the installer's version is 1.0.REVISION), this one without the program,
  # upgrades it in place: one product afterwards. The old product's program went with it; the
  # launcher's next start copies the store's.
  local next newer="NorvikTools-newer.msi" again="NorvikTools-again.msi" error state status=0
  next="${version%.*}.$((10#${version##*.} + 1))"
  mkdir "$work/newer"
  cp "$dist/launcher.exe" "$dist/Ostra.ico" "$work/newer/"
  "$root/scripts/make_msi.sh" "$work/newer" "$next" "$drive_c/$newer" ||
    fail "the newer installer could not be built"
  msiexec_quiet /i "$newer"
  expect_eq "products after the upgrade" "$(installed_products)" 1
  [ -f "$folder/launcher.exe" ] && [ -f "$shortcut" ] || fail "the upgrade lost the launcher or its shortcut"
  start_installed
  same_file "$folder/Norvik_Studio.exe" "$build/fixtures/managed_1_0_0_7.exe" ||
    fail "the launcher did not copy the store's program after the upgrade"

  # The same version made of other files (the launcher unsigned: a product code of its own)
  # replaces it in place; the older release's installer is then refused by Windows Installer
  # and changes nothing.
  mkdir "$work/again"
  cp "$dist/Ostra.ico" "$work/again/"
  osslsigncode remove-signature -in "$dist/launcher.exe" -out "$work/again/launcher.exe" >/dev/null
  "$root/scripts/make_msi.sh" "$work/again" "$next" "$drive_c/$again"
  [ "$(msiinfo export "$drive_c/$again" Property | grep ProductCode)" != \
    "$(msiinfo export "$drive_c/$newer" Property | grep ProductCode)" ] ||
    fail "two installers of other content share a product code"
  msiexec_quiet /i "$again"
  expect_eq "products after the same version again" "$(installed_products)" 1
  state=$(folder_state "$folder")
  (cd "$drive_c" && timeout 120 wine msiexec /i "C:\\NorvikTools-$version.msi" /qn) || status=$?
  [ "$(folder_state "$folder")" = "$state" ] || fail "the refused downgrade changed $folder"
  expect_eq "products after the refused downgrade" "$(installed_products)" 1
  [ "$status" != 0 ] || fail "an older installer was not refused"
  # A version whose fourth field the launcher reads as no revision makes no installer.
  error=$("$root/scripts/make_msi.sh" "$work/newer" 1.0.1.0 "$work/bad.msi" 2>&1) &&
    fail "make_msi.sh made an installer for 1.0.1.0"
  [ ! -e "$work/bad.msi" ] && [ "$(wc -l <<<"$error")" = 1 ] ||
    fail "make_msi.sh's refusal of 1.0.1.0: $error"

  # Uninstall takes the program the launcher copied in; the test program's own records are not
  # the installer's to remove.
  records_of "$folder/Norvik_Studio.exe" | xargs -r -d '\n' rm --
  msiexec_quiet /x "$again"
  expect_eq "products after uninstall" "$(installed_products)" 0
  [ ! -e "$folder" ] || fail "uninstall left $(ls -A "$folder" | tr '\n' ' ')in $folder"
  [ ! -e "$shortcut" ] || fail "uninstall left the shortcut"
  ! wine reg query 'HKCU\Software\Norvik\Norvik Tools' >/dev/null 2>&1 || fail "uninstall left its registry key"
  expect_eq "the Programs folder" "$(ls -d "$user_folder/AppData/Local/Programs" 2>/dev/null || true)" "$programs_before"
  [ "$(folder_state "$drive_c/Brelvance")" = "$store_before" ] || fail "the update store changed"
  echo "ok: msi"
}

# release.sh with ARG... must end with a non-zero status and one line on stderr holding CAUSE,
# and leave the release in $dist exactly as it was.
expect_refused() {  # expect_refused CAUSE ARG...
  local cause=$1 before status=0
  shift
  before=$(folder_state "$dist")
  RELEASE_DIR=$dist "$root/scripts/release.sh" "$@" >/dev/null 2>"$work/refused" || status=$?
  [ "$status" != 0 ] || fail "release.sh $* succeeded"
  [ "$(wc -l < "$work/refused")" = 1 ] && grep -qF -- "$cause" "$work/refused" ||
    fail "release.sh $*: expected one line with '$cause', got: $(cat "$work/refused")"
  [ "$(folder_state "$dist")" = "$before" ] || fail "release.sh $* changed $dist"
}

signed() {
  local preset build program secret pin log
  preset=$(wine_preset)
  build="$root/build/$preset"
  program="$build/fixtures/managed_1_0_0_4.exe"
  [ -f "$program" ] || fail "no $preset build in $build"
  export RELEASE_PRESET=$preset
  test_pki
  secret="pass $(openssl rand -hex 8)" pin=$(openssl rand -hex 4)
  # Every osslsigncode the release starts leaves its arguments here.
  mkdir "$work/spy"
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >> %q\nexec %q "$@"\n' "$work/spy.log" \
    "$(command -v osslsigncode)" > "$work/spy/osslsigncode"
  chmod +x "$work/spy/osslsigncode"
  local spy_path="$work/spy:$PATH"

  # A PEM key under a passphrase in a file, built anew; checked against a rebuild of its own.
  dist=$work/dist-pem
  openssl pkey -in "$pki/a.key" -aes256 -passout "file:"<(printf '%s' "$secret") \
    -out "$work/a_encrypted.pem"
  printf '%s\n' "$secret" > "$work/passphrase"
  PATH=$spy_path RELEASE_SIGN_PASSWORD_FILE=$work/passphrase RELEASE_DIR=$dist \
    "$root/scripts/release.sh" --sign "$work/a_certs.pem" "$work/a_encrypted.pem" \
    --timestamp "$tsa_url" "$program" > "$work/release.log" 2>&1 ||
    fail "a release signed with a PEM key failed: $(tail -3 "$work/release.log")"
  expect_signed "$dist"
  "$root/scripts/check_release.sh" "$dist" "$program" >/dev/null ||
    fail "the signed release does not check against a rebuild"

  # The others sign the same build: a PKCS#12 file with the passphrase in the environment, a
  # key in SoftHSM2 through PKCS#11, and a command of the publisher's own.
  export RELEASE_REUSE_BUILD=1
  openssl pkcs12 -export -inkey "$pki/a.key" -in "$pki/a.pem" -certfile "$pki/ca.pem" \
    -passout "file:"<(printf '%s' "$secret") -out "$work/a.p12"
  dist=$work/dist-p12
  PATH=$spy_path RELEASE_SIGN_PASSWORD=$secret RELEASE_DIR=$dist "$root/scripts/release.sh" \
    --sign "$work/a_certs.pem" "$work/a.p12" --timestamp "$tsa_url" >> "$work/release.log" 2>&1 ||
    fail "a release signed with a PKCS#12 file failed: $(tail -3 "$work/release.log")"
  expect_signed "$dist"

  export SOFTHSM2_CONF=$work/softhsm2.conf RELEASE_PKCS11_MODULE
  RELEASE_PKCS11_MODULE=$(dpkg -L libsofthsm2 | grep -m1 '/libsofthsm2\.so$')
  mkdir "$work/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" > "$SOFTHSM2_CONF"
  softhsm2-util --init-token --free --label norvik-release --pin "$pin" --so-pin "$pin$pin" \
    >/dev/null
  openssl pkcs8 -topk8 -nocrypt -in "$pki/a.key" -out "$work/a.pk8"
  softhsm2-util --import "$work/a.pk8" --token norvik-release --label publisher-a --id 0a \
    --pin "$pin" >/dev/null
  rm "$work/a.pk8"
  local token="pkcs11:token=norvik-release;object=publisher-a;type=private"
  dist=$work/dist-pkcs11
  PATH=$spy_path RELEASE_SIGN_PASSWORD=$pin RELEASE_DIR=$dist "$root/scripts/release.sh" \
    --sign "$work/a_certs.pem" "$token" --timestamp "$tsa_url" >> "$work/release.log" 2>&1 ||
    fail "a release signed through PKCS#11 failed: $(tail -3 "$work/release.log")"
  expect_signed "$dist"

  # The publisher's command: osslsigncode with the key that SIGNER names, without a timestamp
  # (the release adds it).
  printf '#!/bin/sh\nset -e\nosslsigncode sign -certs "%s/${SIGNER}_certs.pem" -key "%s/$SIGNER.key" -h sha256 -in "$1" -out "$1.part" >/dev/null\nmv "$1.part" "$1"\n' \
    "$work" "$pki" > "$work/publisher-sign"
  chmod +x "$work/publisher-sign"
  dist=$work/dist-command
  SIGNER=a RELEASE_DIR=$dist "$root/scripts/release.sh" --sign-command "$work/publisher-sign" \
    --chain "$work/a_certs.pem" --timestamp "$tsa_url" >> "$work/release.log" 2>&1 ||
    fail "a release signed by a command failed: $(tail -3 "$work/release.log")"
  expect_signed "$dist"

  # No secret in any osslsigncode's arguments, in a release or in what the releases printed.
  [ -s "$work/spy.log" ] || fail "no osslsigncode seen"
  ! grep -rqF -e "$secret" -e "$pin" "$work/spy.log" "$work/release.log" "$work"/dist-* ||
    fail "a passphrase or PIN showed in osslsigncode's arguments, the output or a release"

  # Each failure leaves the last release whole.
  dist=$work/dist-pem
  RELEASE_SIGN_PASSWORD="wrong $secret" expect_refused \
    "the passphrase in RELEASE_SIGN_PASSWORD does not open $work/a.p12" \
    --sign "$work/a_certs.pem" "$work/a.p12"
  expect_refused "$work/missing.pem: no such key file" --sign "$work/a_certs.pem" "$work/missing.pem"
  RELEASE_SIGN_PASSWORD=$pin expect_refused "the token has no private key" \
    --sign "$work/a_certs.pem" "pkcs11:token=norvik-release;object=publisher-b;type=private"
  expect_refused "the certificate in $work/b_certs.pem (CN=Norvik Test Publisher B" \
    --sign "$work/b_certs.pem" "$pki/a.key"
  expect_refused "no timestamp from http://127.0.0.1:1 for launcher.exe" \
    --sign "$work/a_certs.pem" "$pki/a.key" --timestamp http://127.0.0.1:1
  SIGNER=b expect_refused "the signature of launcher.exe does not verify against" \
    --sign-command "$work/publisher-sign" --chain "$work/a_certs.pem"
  echo "ok: signed"
}

case "${1:-}" in
  reproducible) reproducible ;;
  signed) signed ;;
  msi) msi ;;
  *) fail "usage: release_check.sh reproducible|signed|msi" ;;
esac
