#!/usr/bin/env bash
# Checks a shipped release against a rebuild of this checkout (run it at the release's commit):
#   scripts/check_release.sh SHIPPED [PROGRAM.exe]
# SHIPPED is the release as published (dist/ of scripts/release.sh, signed or not); PROGRAM.exe
# the program that was given to release.sh, if one was: its installer carries it. It holds when
#   - SHA256SUMS lists what SHIPPED holds;
#   - launcher.exe and revision-probe.exe are the rebuild's bytes once their signatures, if any,
#     are removed, and Ostra.ico is the rebuild's;
#   - the installer is what make_msi.sh builds around the shipped executables, byte for byte,
#     once the shipped installer's signature, if any, is attached to it. (Removing an
#     installer's signature does not give back its bytes: osslsigncode writes the compound file
#     anew. Attaching the signature to the unsigned installer gives back the signed one exactly,
#     and only if the signature is over that content.)
# RELEASE_PRESET is as for release.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "check_release: $*" >&2; exit 1; }
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: check_release.sh SHIPPED [PROGRAM.exe]" >&2; exit 2; }
shipped=$(cd "$1" && pwd) program=${2:-}
[ -z "$program" ] || [ -f "$program" ] || fail "$program: no such file"
[ -f "$shipped/SHA256SUMS" ] || fail "$shipped holds no SHA256SUMS"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$shipped" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match $shipped"
[ "$(cd "$shipped" && ls | grep -vx SHA256SUMS | sort)" = \
  "$(cut -d' ' -f3- "$shipped/SHA256SUMS" | sort)" ] ||
  fail "SHA256SUMS does not list exactly what $shipped holds"

RELEASE_DIR=$work/rebuild "$root/scripts/release.sh" ${program:+"$program"} >/dev/null
msi=$(cd "$work/rebuild" && ls NorvikTools-*.msi)
[ -f "$shipped/$msi" ] || fail "$shipped holds no $msi (another version?)"

signed() { osslsigncode extract-signature -in "$1" -out "$2" >/dev/null 2>&1; }
mkdir "$work/msi"
for exe in launcher.exe revision-probe.exe; do
  if signed "$shipped/$exe" "$work/$exe.sig"; then
    osslsigncode remove-signature -in "$shipped/$exe" -out "$work/$exe" >/dev/null ||
      fail "osslsigncode could not remove the signature of $exe"
  else
    cp "$shipped/$exe" "$work/$exe"
  fi
  cmp -s "$work/$exe" "$work/rebuild/$exe" ||
    fail "$exe is not this commit's build$( [ ! -f "$work/$exe.sig" ] || echo ' and a signature')"
done
cmp -s "$shipped/Ostra.ico" "$work/rebuild/Ostra.ico" || fail "Ostra.ico is not this commit's"

cp "$shipped/launcher.exe" "$shipped/Ostra.ico" "$work/msi/"
[ -z "$program" ] || cp "$program" "$work/msi/Norvik_Studio.exe"
version=${msi#NorvikTools-} version=${version%.msi}
"$root/scripts/make_msi.sh" "$work/msi" "$version" "$work/unsigned.msi"
if signed "$shipped/$msi" "$work/msi.sig"; then
  osslsigncode attach-signature -sigin "$work/msi.sig" -CAfile /dev/null -in "$work/unsigned.msi" \
    -out "$work/rebuilt.msi" >/dev/null 2>&1 || true
else
  cp "$work/unsigned.msi" "$work/rebuilt.msi"
fi
cmp -s "$work/rebuilt.msi" "$shipped/$msi" ||
  fail "$msi is not the installer of this commit around the shipped launcher"
echo "check_release: $shipped is this commit's release$( [ ! -f "$work/msi.sig" ] ||
  echo ', each file signed over exactly what a rebuild gives')"
