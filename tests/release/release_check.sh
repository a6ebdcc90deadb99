#!/usr/bin/env bash
# The release (scripts/release.sh), one check per call:
#   release_check.sh reproducible   two clones of this tree in different folders, built at
#                                   different times (faketime), give the same executables
#   release_check.sh msi            the MSI under Wine, in a prefix of its own: silent install,
#                                   the installed launcher's first update, upgrade, refused
#                                   downgrade, uninstall
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/tests/e2e/lib.sh"
work=$(mktemp -d /tmp/norvik-release.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The tree as it is, tracked and new files alike, without what is built or ignored.
clone_tree() {  # clone_tree DESTINATION
  mkdir -p "$1"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$1")
}

reproducible() {
  local one="$work/one/norvik" two="$work/second place/elsewhere/tree" file
  clone_tree "$one"
  clone_tree "$two"
  RELEASE_DIR="$work/dist-one" "$one/scripts/release.sh" >/dev/null
  # A year and more later, by the clock every tool reads.
  faketime -f '+400d' env RELEASE_DIR="$work/dist-two" "$two/scripts/release.sh" >/dev/null
  for file in launcher.exe revision-probe.exe Ostra.ico; do
    cmp "$work/dist-one/$file" "$work/dist-two/$file" ||
      fail "$file differs between two builds of the same tree"
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
  RELEASE_PRESET=$preset RELEASE_DIR=$dist "$root/scripts/release.sh" \
    "$build/fixtures/managed_1_0_0_4.exe" >/dev/null
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -f "$dist/NorvikTools-$version.msi" ] || fail "no NorvikTools-$version.msi in the release"

  # A new prefix each time: nothing an earlier run installed can count.
  wine_env "$build" "$work/prefix"
  drive_c="$WINEPREFIX/drive_c"
  timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed"
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  own_server
  trap 'end_server; rm -rf "$work"' EXIT
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

  # The same version built again (a product code of its own) reinstalls in place; the older
  # release's installer is then refused by Windows Installer and changes nothing.
  "$root/scripts/make_msi.sh" "$work/newer" "$next" "$drive_c/$again"
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

case "${1:-}" in
  reproducible) reproducible ;;
  msi) msi ;;
  *) fail "usage: release_check.sh reproducible|msi" ;;
esac
