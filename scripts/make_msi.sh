#!/usr/bin/env bash
# Builds the installer from resources/norvik_tools*.wxs with wixl (scripts/release.sh calls it):
#   make_msi.sh FOLDER VERSION OUTPUT
# FOLDER holds launcher.exe, Ostra.ico and, when the installer is to carry it,
# Norvik_Studio.exe. The installer is for the processor launcher.exe is built for.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine_env.sh"
folder=$1 version=$2 output=$3
case "$(pe_machine "$folder/launcher.exe")" in
  14c) arch=x86 ;;
  8664) arch=x64 ;;
  *) echo "make_msi: $folder/launcher.exe is not an x86 or x86-64 program" >&2; exit 1 ;;
esac
program_wxs=$root/resources/norvik_tools_no_program.wxs
[ ! -f "$folder/Norvik_Studio.exe" ] || program_wxs=$root/resources/norvik_tools_program.wxs
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
# wixl takes the files' paths relative to the folder it runs in.
(cd "$folder" && wixl -a "$arch" -D Version="$version" -D Dist=. -o "$output" \
  "$root/resources/norvik_tools.wxs" "$program_wxs")

# Two things wixl cannot author, written into its tables:
# - Windows Installer compares only the first three fields of a version, and releases differ
#   in the fourth: the upgrade finds installed versions up to this one inclusive
#   (msidbUpgradeAttributesVersionMaxInclusive), so any 1.0.0.x replaces any other in place
#   rather than being installed beside it.
# - Uninstall removes the program the launcher copied in (it is the installer's file only when
#   the release carries one) and a temporary a launcher killed mid-copy left beside it. Windows
#   Installer takes "*" in a RemoveFile name; Wine 8's does not apply such a row, so no test
#   here can show the temporaries go.
# (The row is written anew: msibuild's UPDATE takes no WHERE on text.)
upgrade_code=$(msiinfo export "$output" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
msibuild "$output" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
msibuild "$output" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
for row in "ProgramCopy:Norvik_Studio.exe" "ProgramTemporaries:~Norvik_Studio.exe.*.tmp"; do
  msibuild "$output" -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('${row%%:*}', 'Launcher', '${row#*:}', 'INSTALLDIR', 2)"
done
row=$(msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1, $3, $5 }')
[ "$row" = "$upgrade_code $version 513" ] ||
  { echo "make_msi: the upgrade row of $output is '$row'" >&2; exit 1; }
