# Scenarios of signature_scenarios.sh, which sources this file:
# Signed copies cut short, held open, or behind linked folders.
# shellcheck shell=bash
# shellcheck disable=SC2154  # dir, drive_c, signed, status...: set by signature_scenarios.sh

# A copy of FIXTURE that ends right after the section holding its version record: the version
# still reads, but the file is shorter than its sections.
cut_after_version_record() {  # cut_after_version_record FIXTURE OUT
  local at sections size start cut="" whole
  at=$(grep -obUaP 'V\x00S\x00_\x00V\x00E\x00R\x00S\x00I\x00O\x00N\x00_\x00I\x00N\x00F\x00O' "$1" |
    head -1 | cut -d: -f1)
  [ -n "$at" ] || fail "no version record in $1"
  sections=$(pe_sections "$1") || fail "pe_fields.py could not read the sections of $1"
  while IFS=$'\t' read -r _ _ size start; do
    if [ "$start" -le "$at" ] && [ "$at" -lt $(( start + size )) ]; then cut=$(( start + size )); fi
  done <<<"$sections"
  whole=$(stat -c %s "$1")
  if [ -z "$cut" ] || [ "$cut" -ge "$whole" ]; then
    fail "the version record of $1 is in its last section"
  fi
  head -c "$cut" "$1" > "$2"
}

scenario_held_for_writing() {
  # Another process still has the newer store copy open for writing: nothing is copied. Once
  # it has closed the file, the next run copies it, so the refusal was the open file's.
  set_up managed_1_0_0_4 managed_1_0_0_7
  hold_file 'C:\Brelvance\UpdateFile\10001000\0005\Norvik_Studio.exe' 60000 write
  run_launcher
  release_hold
  expect_refused "store copy open for writing" managed_1_0_0_4 managed_1_0_0_7
  rm -f "$dir"/Norvik_Studio.started.*.txt
  run_launcher
  expect_replaced "to_local, once closed" managed_1_0_0_7
}

scenario_cut_after_version() {
  set_up managed_1_0_0_4 none
  mkdir -p "$store"
  cut_after_version_record "$fixtures/managed_1_0_0_7.exe" "$store/Norvik_Studio.exe"
  cp "$store/Norvik_Studio.exe" "$build/cut_1_0_0_7.exe"
  expect_plan "$dir" refuse "not a whole program image"
  run_launcher
  expect_eq "exit status" "$status" 1
  expect_copy "the local copy" "$dir/Norvik_Studio.exe" managed_1_0_0_4
  same_file "$store/Norvik_Studio.exe" "$build/cut_1_0_0_7.exe" || fail "the store copy changed"
  expect_eq "starts" "$(starts_of "$dir/Norvik_Studio.exe")" 1
  expect_no_temporaries
  rm -f "$build/cut_1_0_0_7.exe"
}

scenario_linked_store_folder() {
  linked_folder "$store" "$drive_c/Elsewhere/0005" "$drive_c/Elsewhere/0005"
}

scenario_linked_brelvance() {
  linked_folder "$drive_c/Brelvance" "$drive_c/Elsewhere/Brelvance" \
    "$drive_c/Elsewhere/Brelvance/UpdateFile/10001000/0005"
}

# A Unix symbolic link to a folder, which Wine shows as a reparse point, at LINK (the store's
# folder 0005 or C:\Brelvance), to TARGET: the store's folder BEYOND it holds a newer copy (not
# to be read) or an older one (not to be written).
linked_folder() {  # linked_folder LINK TARGET BEYOND
  local link=$1 target=$2 beyond=$3 pair opened
  for pair in "managed_1_0_0_4 managed_1_0_0_7" "managed_1_0_0_9 managed_1_0_0_6"; do
    set_up "${pair% *}" none
    mkdir -p "$beyond" "$(dirname "$link")"
    cp "$(copy_of "${pair#* }")" "$beyond/Norvik_Studio.exe"
    ln -s "$target" "$link"
    expect_plan "$dir" refuse "HoldFolder"
    run_launcher traced
    expect_eq "exit status ($pair)" "$status" 1
    expect_copy "the local copy ($pair)" "$dir/Norvik_Studio.exe" "${pair% *}"
    expect_eq "starts ($pair)" "$(starts_of "$dir/Norvik_Studio.exe")" 1
    expect_eq "files beyond the link ($pair)" "$(ls -A "$beyond")" Norvik_Studio.exe
    expect_copy "the copy beyond the link ($pair)" "$beyond/Norvik_Studio.exe" "${pair#* }"
    opened=$(trace_count "$trace" 'NtCreateFile .*name=L"[^"]*\\0005\\\\[^"]*"')
    expect_eq "files opened in the store ($pair)" "$opened" 0
    expect_eq "temporaries beside the local copy" "$(temporaries_in "$dir")" 0
  done
}
