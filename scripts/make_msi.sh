#!/usr/bin/env bash
# Builds the installer from resources/norvik_tools*.wxs with wixl (scripts/release.sh calls it):
#   make_msi.sh FOLDER VERSION OUTPUT   (VERSION: the release's, 1.0.0.5)
# FOLDER holds launcher.exe, Ostra.ico and, when the installer is to carry it,
# Norvik_Studio.exe. The installer is for the processor launcher.exe is built for.
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
# wixl takes the files' paths relative to the folder it runs in.
(cd "$folder" && wixl -a "$arch" -D ProductVersion="$product_version" -D Dist=. -o "$output" \
  "$root/resources/norvik_tools.wxs" "$program_wxs")

# Two things wixl cannot author, written into its tables:
# - The upgrade finds installed versions up to this one inclusive
#   (msidbUpgradeAttributesVersionMaxInclusive): every build of an installer has a product code
#   of its own, so an installer of the installed version (the release's installer built again
#   around a signed launcher, say) replaces it in place rather than installing beside it.
# - Uninstall removes the program the launcher copied in (it is the installer's file only when
#   the release carries one) and a temporary a launcher killed mid-copy left beside it. Windows
#   Installer takes "*" in a RemoveFile name; Wine 8's does not apply such a row, so no test
#   here can show the temporaries go.
# (The row is written anew: msibuild's UPDATE takes no WHERE on text.)
upgrade_code=$(msiinfo export "$output" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
msibuild "$output" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
msibuild "$output" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$product_version', 513, 'WIX_UPGRADE_DETECTED')"
for row in "ProgramCopy:Norvik_Studio.exe" "ProgramTemporaries:~Norvik_Studio.exe.*.tmp"; do
  msibuild "$output" -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('${row%%:*}', 'Launcher', '${row#*:}', 'INSTALLDIR', 2)"
done
row=$(msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1, $3, $5 }')
[ "$row" = "$upgrade_code $product_version 513" ] ||
  { echo "make_msi: the upgrade row of $output is '$row'" >&2; exit 1; }
