#!/usr/bin/env bash
# Builds the installer from resources/norvik_tools*.wxs with wixl (scripts/release.sh calls it):
#   make_msi.sh FOLDER VERSION ARCH OUTPUT
# FOLDER holds launcher.exe, Ostra.ico and, when the installer is to carry it,
# Norvik_Studio.exe; ARCH is x86 or x64. The product code follows from the version, so the same
# release built twice is one product to Windows Installer, and a new version a major upgrade.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=$1 version=$2 arch=$3 output=$4
upgrade_code=86D87A1E-F7EF-4578-9CE0-2655CBDB1587
grep -q "UpgradeCode=\"$upgrade_code\"" "$root/resources/norvik_tools.wxs" ||
  { echo "make_msi: the upgrade code here is not the installer's" >&2; exit 1; }
product_code=$(python3 -c 'import sys, uuid
print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), "Norvik Studio " + sys.argv[2])).upper())' \
  "$upgrade_code" "$version")
program_wxs=$root/resources/norvik_tools_no_program.wxs
[ ! -f "$folder/Norvik_Studio.exe" ] || program_wxs=$root/resources/norvik_tools_program.wxs
case "$output" in /*) ;; *) output=$PWD/$output ;; esac
# wixl takes the files' paths relative to the folder it runs in.
(cd "$folder" && wixl -a "$arch" -D Version="$version" -D ProductCode="$product_code" -D Dist=. \
  -o "$output" "$root/resources/norvik_tools.wxs" "$program_wxs")
