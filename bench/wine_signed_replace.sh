#!/usr/bin/env bash
# The publisher pin's cost under Wine, side by side in one run:
#   wine_signed_replace.sh BUILD_DIR [SIZE_MIB] [ROUNDS]
# the launcher replacing a signed local copy with a signed store copy of SIZE_MIB (default 256),
# the same replacement with both copies unsigned, sha256sum of the file, a refused unsigned store
# copy over a signed local copy, a store copy refused for its signature (A's subject under a root
# nobody trusts), a small signed replacement, and a start with nothing to replace. Medians of
# ROUNDS (5).
set -euo pipefail
here=$(cd "$(dirname "$0")/../tests/e2e" && pwd)
source "$here/lib.sh"
build=$(cd "$1" && pwd)
size=${2:-256}
rounds=${3:-5}
use_wine "$build"
dir="$drive_c/Apps/Bench"
[ -d "$drive_c/windows" ] || bash "$here/wine_scenarios.sh" "$build" prefix >/dev/null
# Makes the test PKI, trusts its root and checks one pinned replacement.
bash "$here/signature_scenarios.sh" "$build" same_publisher >/dev/null
pki="$build/test-pki/pki"
work="$build/bench-signed"
rm -rf "$work" && mkdir -p "$work"
padded_copy "$build/fixtures/managed_1_0_0_4.exe" "$size" 001 "$work/old.exe"
padded_copy "$build/fixtures/managed_1_0_0_7.exe" "$size" 002 "$work/new.exe"
SIGNING_PKI=$pki padded_copy "$build/fixtures/managed_1_0_0_4.exe" "$size" 001 "$work/old-signed.exe"
SIGNING_PKI=$pki padded_copy "$build/fixtures/managed_1_0_0_7.exe" "$size" 002 "$work/new-signed.exe"
SIGNING_PKI=$pki SIGNING_AS=untrusted_a padded_copy "$build/fixtures/managed_1_0_0_7.exe" "$size" \
  002 "$work/new-untrusted.exe"

own_server
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Milliseconds of one launcher run with LOCAL beside it and STORE in the store.
run_once() {  # run_once LOCAL STORE
  rm -rf "$dir" "$drive_c/Brelvance"
  mkdir -p "$dir" "$store"
  cp "$build/launcher.exe" "$dir/"
  cp "$build/resources/launcher.ico" "$dir/Ostra.ico"
  cp "$1" "$dir/Norvik_Studio.exe"
  cp "$2" "$store/Norvik_Studio.exe"
  sync
  local started=$(date +%s%N)
  (cd "$drive_c" && wine "$dir/launcher.exe" >/dev/null 2>&1) || true
  echo $(( ($(date +%s%N) - started) / 1000000 ))
}
measure() {  # measure LABEL LOCAL STORE
  local times=()
  for _ in $(seq "$rounds"); do times+=("$(run_once "$2" "$3")"); done
  printf '%s: %s ms\n' "$1" "$(printf '%s\n' "${times[@]}" | median)"
}
hash_times=()
for _ in $(seq "$rounds"); do
  started=$(date +%s%N)
  sha256sum "$work/new-signed.exe" >/dev/null
  hash_times+=($(( ($(date +%s%N) - started) / 1000000 )))
done
echo "$size MiB copies, median of $rounds runs under Wine:"
measure "signed replaced by signed (verified)" "$work/old-signed.exe" "$work/new-signed.exe"
measure "unsigned replaced by unsigned" "$work/old.exe" "$work/new.exe"
printf 'sha256sum of the file: %s ms\n' "$(printf '%s\n' "${hash_times[@]}" | median)"
measure "signed local, unsigned store copy refused" "$work/old-signed.exe" "$work/new.exe"
measure "signed local, store copy refused for its chain" "$work/old-signed.exe" \
  "$work/new-untrusted.exe"
measure "small signed replaced by signed" "$build/test-pki/signed_a_4.exe" \
  "$build/test-pki/signed_a_7.exe"
measure "small unsigned replaced by unsigned" "$build/fixtures/managed_1_0_0_4.exe" \
  "$build/fixtures/managed_1_0_0_7.exe"
measure "nothing to replace (both signed, equal)" "$work/new-signed.exe" "$work/new-signed.exe"
rm -rf "$work" "$dir" "$drive_c/Brelvance"
