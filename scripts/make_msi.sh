#!/usr/bin/env bash
# Builds the installer from resources/norvik_tools*.wxs with wixl (scripts/release.sh calls it):
#   make_msi.sh FOLDER VERSION OUTPUT   (VERSION: the release's, 1.0.0.5)
# FOLDER holds launcher.exe, Ostra.ico and, when the installer is to carry it,
# Norvik_Studio.exe. The installer is for the processor launcher.exe is built for.
# The same inputs give the same bytes, wherever, whenever and by whomever it is built: its times
# are SOURCE_DATE_EPOCH (by default the commit's time), its product and package codes are drawn
# from its content.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine_env.sh"
folder=$1 version=$2 output=$3
# Windows Installer orders products by the first three fields of ProductVersion (at most
# 255.255.65535) and ignores a fourth; the launcher orders the program's revisions by the fourth
# field of the release's version alone (1 to 65535). So the installer's version is
# 1.0.REVISION: installers order exactly as the launcher orders revisions, whatever the first
# three fields. The release's own version stays in the installer's file name. An installer
# made before this (ProductVersion 1.0.0.x, compared as 1.0.0) counts as older than any.
field='0*([0-9]{1,5})'
if [[ $version =~ ^$field\.$field\.$field\.$field$ ]] &&
   (( BASH_REMATCH[1] <= 65535 && BASH_REMATCH[2] <= 65535 && BASH_REMATCH[3] <= 65535 &&
      BASH_REMATCH[4] >= 1 && BASH_REMATCH[4] <= 65535 )); then
  product_version=1.0.$((10#${BASH_REMATCH[4]}))
else
  echo "make_msi: '$version' is not a release version: four fields of 0 to 65535," \
    "the fourth (the revision the launcher reads) at least 1" >&2
  exit 2
fi
case "$(pe_machine "$folder/launcher.exe")" in
  14c) arch=x86 ;;
  8664) arch=x64 ;;
  *) echo "make_msi: $folder/launcher.exe is not an x86 or x86-64 program" >&2; exit 1 ;;
esac
program_wxs=$root/resources/norvik_tools_no_program.wxs
[ ! -f "$folder/Norvik_Studio.exe" ] || program_wxs=$root/resources/norvik_tools_program.wxs
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] || { echo "make_msi: no time to give the installer: set" \
  "SOURCE_DATE_EPOCH (seconds since 1970), or build from a git checkout" >&2; exit 2; }

# What wixl would take from the machine, fixed: the cabinet records each file's modification
# time, the summary its creation and save times (libmsi reads the clock; nothing of it honours
# SOURCE_DATE_EPOCH, hence faketime, and TZ=UTC so no zone reaches a date), and the product
# code is "*" no more but a name-based UUID of everything the installer is made from.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=(launcher.exe Ostra.ico)
[ ! -f "$folder/Norvik_Studio.exe" ] || files+=(Norvik_Studio.exe)
mkdir "$work/files"
for file in "${files[@]}"; do cp "$folder/$file" "$work/files/"; done
chmod 644 "$work/files"/*
touch -d "@$epoch" "$work/files"/*
# A GUID (RFC 4122, version 5) named by a SHA-256 digest.
guid_of() {  # guid_of HEX_DIGEST
  python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.NAMESPACE_OID, sys.argv[1])).upper())' "$1"
}
product_code=$(guid_of "$( { echo "$product_version $arch"
  cd "$work/files" && sha256sum "${files[@]}"
  cat "$root/resources/norvik_tools.wxs" "$program_wxs" "$root/scripts/make_msi.sh"; } | sha256sum | cut -d' ' -f1)")
# Not inside another faketime's clock (the tests build under one): its library would stay
# preloaded under this one's.
at_epoch() { env -u LD_PRELOAD -u FAKETIME -u FAKETIME_SHARED TZ=UTC faketime "@$epoch" "$@"; }
# wixl takes the files' paths relative to the folder it runs in.
(cd "$work/files" && at_epoch wixl -a "$arch" -D ProductVersion="$product_version" \
  -D ProductCode="$product_code" -D Dist=. -o "$output" \
  "$root/resources/norvik_tools.wxs" "$program_wxs")

# Two things wixl cannot author, written into its tables:
# - The upgrade finds installed versions up to this one inclusive
#   (msidbUpgradeAttributesVersionMaxInclusive): an installer of other content has a product code
#   of its own, so an installer of the installed version made of other files (around an unsigned
#   launcher, say, where a signed one is installed) replaces it in place rather than installing
#   beside it.
# - Uninstall removes the program the launcher copied in (it is the installer's file only when
#   the release carries one) and a temporary a launcher killed mid-copy left beside it. Windows
#   Installer takes "*" in a RemoveFile name; Wine 8's does not apply such a row, so no test
#   here can show the temporaries go.
# (The row is written anew: msibuild's UPDATE takes no WHERE on text.)
upgrade_code=$(msiinfo export "$output" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
at_epoch msibuild "$output" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
at_epoch msibuild "$output" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$product_version', 513, 'WIX_UPGRADE_DETECTED')"
for row in "ProgramCopy:Norvik_Studio.exe" "ProgramTemporaries:~Norvik_Studio.exe.*.tmp"; do
  at_epoch msibuild "$output" -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('${row%%:*}', 'Launcher', '${row#*:}', 'INSTALLDIR', 2)"
done
row=$(msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1, $3, $5 }')
[ "$row" = "$upgrade_code $product_version 513" ] ||
  { echo "make_msi: the upgrade row of $output is '$row'" >&2; exit 1; }

# The package code last, drawn from the whole installer with a zero code in its place (so it
# names this content exactly). msibuild -s writes the subject, author, template and package
# code, so the first three are given back as wixl wrote them.
summary_field() { msiinfo suminfo "$output" | sed -n "s/^$1: //p"; }
subject=$(summary_field Subject) author=$(summary_field Author) template=$(summary_field Template)
at_epoch msibuild "$output" -s "$subject" "$author" "$template" "{00000000-0000-0000-0000-000000000000}"
package_code=$(guid_of "$(sha256sum "$output" | cut -d' ' -f1)")
at_epoch msibuild "$output" -s "$subject" "$author" "$template" "$package_code"
[ "$(summary_field 'Revision number (UUID)')" = "$package_code" ] ||
  { echo "make_msi: $output did not take its package code" >&2; exit 1; }
