# Helpers shared by the end-to-end scenarios. Sourced, not run.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}

same_file() {  # same_file A B: byte for byte
  cmp -s "$1" "$2"
}

# What a managed test program recorded beside itself, one file per start.
records_of() {  # records_of PROGRAM_PATH
  find "$(dirname "$1")" -maxdepth 1 -name "$(basename "${1%.exe}").started.*.txt"
}

# Number of starts a managed test program recorded (0 when it never ran).
starts_of() {  # starts_of PROGRAM_PATH
  records_of "$1" | wc -l
}

# Temporary files of a replacement left in a folder.
temporaries_in() {
  find "$1" -maxdepth 1 -name '~*.tmp' | wc -l
}

# A file of `size` MiB: a managed test program followed by padding of one byte value, so copies
# of different revisions differ in every block.
padded_copy() {  # padded_copy FIXTURE SIZE_MIB BYTE OUTPUT
  cp "$1" "$4"
  head -c "$(( $2 * 1024 * 1024 ))" /dev/zero | tr '\0' "\\$3" >> "$4"
}

# A random delay below SPAN milliseconds, and a sleep of that many milliseconds.
random_ms() { echo $(( RANDOM * RANDOM % $1 )); }
sleep_ms() { sleep "$(( $1 / 1000 )).$(printf %03d $(( $1 % 1000 )))"; }

# "old" or "new": which of two files COPY is, byte for byte. Anything else fails the round.
which_copy() {  # which_copy COPY OLD NEW ROUND
  if same_file "$1" "$2"; then
    echo old
  elif same_file "$1" "$3"; then
    echo new
  else
    fail "round $4: the copy is neither the old nor the new file"
  fi
}
