#!/usr/bin/env bash
# Checks a Windows executable's header and imports, without running it:
#   check_image.sh OBJDUMP FILE FORMAT SUBSYSTEM [MANIFEST_ARCH]
# FORMAT as objdump names it ("pei-i386", "pei-x86-64"), SUBSYSTEM "Windows GUI" or "Windows CUI",
# MANIFEST_ARCH the processor its embedded manifest must name ("x86", "amd64").
# Every imported DLL must be one that each Windows has (Vista and later: bcrypt.dll): the
# executable is copied on its own.
set -euo pipefail
objdump=$1 file=$2 format=$3 subsystem=$4 manifest_arch=${5:-}
system_dlls=' advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ntdll.dll shell32.dll user32.dll version.dll wintrust.dll '

headers=$("$objdump" -p "$file") || { echo "FAIL: $objdump cannot read $file" >&2; exit 1; }
status=0
grep -q "file format $format\$" <<<"$headers" ||
  { echo "FAIL: $file is not $format: $(grep -m1 'file format' <<<"$headers")" >&2; status=1; }
grep -Eq "^Subsystem[[:space:]]+[0-9a-f]+[[:space:]]+\($subsystem\)\$" <<<"$headers" ||
  { echo "FAIL: $file: not the $subsystem subsystem: $(grep -m1 '^Subsystem' <<<"$headers")" >&2; status=1; }
dlls=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers")
[ -n "$dlls" ] || { echo "FAIL: $file imports nothing" >&2; status=1; }
for dll in $dlls; do
  [[ $system_dlls == *" $dll "* ]] || { echo "FAIL: $file imports $dll, not a system DLL" >&2; status=1; }
done
# Reproducible: the linker writes no time stamp into the PE header.
pe=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
stamp=$(od -An -tu4 -j$(( pe + 8 )) -N4 "$file" | tr -d ' ')
[ "$stamp" = 0 ] || { echo "FAIL: $file: the PE header has a time stamp ($stamp)" >&2; status=1; }
if [ -n "$manifest_arch" ]; then
  named=$(grep -a -o 'processorArchitecture="[^"]*"' "$file" | head -1 || true)
  [ "$named" = "processorArchitecture=\"$manifest_arch\"" ] ||
    { echo "FAIL: $file: its manifest names ${named:-no processor}, not $manifest_arch" >&2; status=1; }
fi
[ $status -eq 0 ] && echo "$file: $format, $subsystem, imports $(echo $dlls)"
exit $status
