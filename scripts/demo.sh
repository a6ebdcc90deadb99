#!/usr/bin/env bash
# Shows the launcher's main job: launcher.exe under Wine, in a sample folder with "Ostra.ico",
# a local copy at 1.0.0.4 and an update-store copy at 1.0.0.7 (or the versions given:
# demo.sh LOCAL STORE, each one of 1.0.0.0 1.0.0.4 1.0.0.5 1.0.0.6 1.0.0.7 1.0.0.9 or "none").
set -euo pipefail
cd "$(dirname "$0")/.."
local_version=${1:-1.0.0.4}
store_version=${2:-1.0.0.7}

source scripts/wine_env.sh
scripts/setup.sh
preset=$(wine_preset)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null

build=$PWD/build/$preset
wine_env "$build" "$build/demo-prefix"
if [ "$preset" != win32 ]; then
  echo "Here $(why_not_win32): the demo runs the x86-64 build of the same sources (preset $preset)."
fi
if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
  echo "Making a Wine prefix for the demo (once)..."
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
fi
drive_c=$WINEPREFIX/drive_c
app="$drive_c/Program Files/Norvik Tools"
store=$drive_c/Brelvance/UpdateFile/10001000/0005
rm -rf "$app" "$drive_c/Brelvance"
mkdir -p "$app" "$store"
cp "$build/launcher.exe" "$app/"
cp "$build/resources/launcher.ico" "$app/Ostra.ico"
place() {  # place VERSION DESTINATION
  [ "$1" = none ] || cp "$build/fixtures/managed_${1//./_}.exe" "$2"
}
place "$local_version" "$app/Norvik_Studio.exe"
place "$store_version" "$store/Norvik_Studio.exe"

show() {
  echo "$1"
  for copy in 'C:\Program Files\Norvik Tools\Norvik_Studio.exe' \
              'C:\Brelvance\UpdateFile\10001000\0005\Norvik_Studio.exe'; do
    wine "$build/revision-probe.exe" "$copy" 2>&1 | tr -d '\r' |
      awk -F'\t' '{ if (NF == 5) printf "  %s  version %s, revision %s, signer %s (%s)\n", $1, ($2 == "" ? "none" : $2), $3, $4, $5; else print "  " $0 }'
  done
}

checksum() { [ -f "$1" ] && md5sum < "$1" || echo none; }
echo "Sample folder C:\\Program Files\\Norvik Tools: $(ls "$app" | tr '\n' ' ')"
show "Before the run:"
local_before=$(checksum "$app/Norvik_Studio.exe")
store_before=$(checksum "$store/Norvik_Studio.exe")
status=0
(cd "$drive_c" && wine "$app/launcher.exe") || status=$?
wineserver -w
show "After the run:"
if [ "$(checksum "$app/Norvik_Studio.exe")" != "$local_before" ]; then
  echo "Direction: the update-store copy replaced the local copy."
elif [ "$(checksum "$store/Norvik_Studio.exe")" != "$store_before" ]; then
  echo "Direction: the local copy replaced the update-store copy."
else
  echo "Direction: none; neither copy was touched."
fi
case $status in
  0) echo "The launcher ended with status 0: the main path ran through." ;;
  1) echo "The launcher ended with status 1: a failure sent it to the fallback path." ;;
  *) echo "The launcher ended with status $status: the fallback path failed too." ;;
esac
# The records' paths hold blanks ("Program Files/Norvik Tools"): one path a line.
records=$(find "$app" -name 'Norvik_Studio.started.*.txt')
if [ -n "$records" ]; then
  echo "The managed program recorded its start:"
  xargs -d '\n' cat <<<"$records" | tr -d '\r' | sed 's/^/  /'
else
  echo "Nothing was started."
fi
