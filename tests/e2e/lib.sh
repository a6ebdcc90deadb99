# Helpers shared by the end-to-end scenarios, and the opening of the Wine scenario scripts.
# Sourced, not run.
# shellcheck shell=bash
# shellcheck source=scripts/wine_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine_env.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Wine's settings for the programs of BUILD (wine_env), and the scenarios' $drive_c and $store.
# Exits 77 (skipped) when Wine is missing, unless CI is set: then that fails.
# shellcheck disable=SC2034  # drive_c and store are read by the caller
use_wine() {  # use_wine BUILD
  if ! command -v wine >/dev/null; then
    [ "${CI:-}" = true ] && fail "wine is not installed (scripts/setup.sh installs it)"
    echo "wine is not installed; skipped"
    exit 77
  fi
  wine_env "$1" || fail "no Wine for the programs of $1"
  drive_c="$WINEPREFIX/drive_c"
  store="$drive_c/Brelvance/UpdateFile/10001000/0005"
}

# The opening of a Wine scenario script called as SCRIPT BUILD_DIR SCENARIO: $build, $scenario,
# the managed test programs in $fixtures, the helper programs in $helpers, use_wine's settings,
# and, for any scenario but "prefix", the prefix that it makes.
# shellcheck disable=SC2034  # read by the scenarios
open_scenario() {  # open_scenario BUILD_DIR SCENARIO
  [ $# -ge 2 ] || fail "usage: $(basename "$0") BUILD_DIR SCENARIO [ARGUMENT...], or --list"
  build=$(cd "$1" && pwd)
  scenario=$2
  # signature_scenarios.sh passes signed programs for the rounds it runs here.
  fixtures=${SCENARIO_FIXTURES:-$build/fixtures}
  helpers="$build/tests/e2e"
  use_wine "$build"
  [ "$scenario" = prefix ] || [ -d "$drive_c/windows" ] ||
    fail "no Wine prefix in $WINEPREFIX (the scenario \"prefix\" of wine_scenarios.sh makes it)"
}

# The scenarios of the script files FILE...: each is a function scenario_NAME, and is listed by
# its NAME, in the order of the files, so that CMake reads the names from the definitions.
scenarios_in() {  # scenarios_in FILE...
  sed -n 's/^scenario_\([a-z0-9_]*\)() {.*/\1/p' "$@"
}

# Runs the scenario $scenario with ARGUMENT..., then says it passed.
run_scenario() {  # run_scenario [ARGUMENT...]
  declare -F "scenario_$scenario" >/dev/null || fail "unknown scenario $scenario"
  "scenario_$scenario" "$@"
  echo "ok: $scenario"
}

# What the end of the scenario ends, the last added first: a hold, the scenario's own server.
exit_actions=()
at_exit() {  # at_exit FUNCTION
  exit_actions=("$1" "${exit_actions[@]}")
  trap run_exit_actions EXIT
}
run_exit_actions() {
  local action
  for action in "${exit_actions[@]}"; do "$action"; done
}

# One Wine server for the rest of the scenario, started once any earlier one has ended (the
# prefix is shared, one scenario at a time). On exit the scenario's programs and the server are
# ended, and waited for, so the next scenario starts on a prefix with no server.
own_server() {
  timeout 60 wineserver -w || fail "an earlier Wine server did not end"
  wineserver -p || fail "wineserver -p failed with status $?"
  at_exit end_server
}
end_server() {
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w 2>/dev/null || true
}

# Puts launcher.exe, and its icon as Ostra.ico, into the folder DIR.
add_launcher() {  # add_launcher DIR
  cp "$build/launcher.exe" "$1/"
  cp "$build/resources/launcher.ico" "$1/Ostra.ico"
}

# Runs the launcher in DIR once from drive C:'s "work" folder, with WINEDEBUG=DEBUG; its stderr,
# Wine's trace included, goes to TRACE. Sets $status.
launch() {  # launch DIR DEBUG TRACE
  mkdir -p "$drive_c/work"
  status=0
  (cd "$drive_c/work" && WINEDEBUG="$2" timeout 60 wine "$1/launcher.exe") 2>"$3" || status=$?
}

# Wine's traces of process starts and of file calls, and what shows in them: the launcher trying
# to start the program; renaming a file (class 0xa: FileRenameInformation); creating or opening
# a replacement's temporary file (every file a Windows program creates goes through
# NtCreateFile, which the file trace logs with the name).
# shellcheck disable=SC2034  # read by the scenarios
{
  process_trace='-all,trace+process'
  file_trace='-all,trace+file'
  start_pattern='CreateProcessInternalW app L".*Norvik_Studio.exe'
  rename_pattern='NtSetInformationFile (.*,0x0000000a)$'
  temporary_pattern='NtCreateFile .*name=L"[^"]*~Norvik_Studio\.exe\.[0-9a-f]\{16\}\.tmp"'
}

# The number of lines of the trace file TRACE that show PATTERN (a basic regular expression).
trace_count() {  # trace_count TRACE PATTERN
  grep -c -- "$2" "$1" || true
}

# Holds the file at WINDOWS_PATH open in MODE ("write", "read" or "exclusive", see hold_open.c)
# until release_hold, or MS milliseconds at the latest, in the background; returns once it is
# held. Should the scenario end first, the hold ends with it.
hold_file() {  # hold_file WINDOWS_PATH MS MODE
  mkdir -p "$drive_c/work"
  rm -f "$drive_c/work/held.marker"
  # A minute at most, or a minute beyond a longer hold, should hold_open never end.
  (cd "$drive_c/work" && exec timeout $(( $2 < 60000 ? 60 : $2 / 1000 + 60 )) \
    wine "$helpers/hold_open.exe" "$1" 'C:\work\held.marker' "$2" "$3") &
  holder=$!
  at_exit end_hold
  for _ in $(seq 400); do [ -e "$drive_c/work/held.marker" ] && break; sleep 0.05; done
  [ -e "$drive_c/work/held.marker" ] || fail "hold_open did not open $1"
}
release_hold() {
  rm -f "$drive_c/work/held.marker"
  wait "$holder" || fail "hold_open failed"
  holder=
}
end_hold() {
  [ -n "${holder:-}" ] || return 0
  rm -f "$drive_c/work/held.marker"
  wait "$holder" 2>/dev/null || true
  holder=
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
# With SIGNING_PKI set (the signed rounds of signature_scenarios.sh), the padded copy is then
# signed by that PKI's publisher A (or SIGNING_AS), so that its signature covers the padding.
padded_copy() {  # padded_copy FIXTURE SIZE_MIB BYTE OUTPUT
  # A signed FIXTURE is signed anew over its padding: osslsigncode 2.5 (Debian 12's) refuses to
  # sign a file whose signature is not at its end, so the old signature goes first.
  if [ -z "${SIGNING_PKI:-}" ] || ! osslsigncode remove-signature -in "$1" -out "$4" >/dev/null 2>&1
  then
    cp "$1" "$4"
  fi
  head -c "$(( $2 * 1024 * 1024 ))" /dev/zero | tr '\0' "\\$3" >> "$4"
  if [ -n "${SIGNING_PKI:-}" ]; then
    local signer=${SIGNING_AS:-a}
    osslsigncode sign -certs "$SIGNING_PKI/${signer}_chain.pem" -key "$SIGNING_PKI/$signer.key" \
      -h sha256 -in "$4" -out "$4.signed" >/dev/null || fail "osslsigncode could not sign $4"
    mv "$4.signed" "$4"
  fi
}

# A random delay below SPAN milliseconds, and a sleep of that many milliseconds.
random_ms() { echo $(( RANDOM * RANDOM % $1 )); }
sleep_ms() { sleep "$(( $1 / 1000 )).$(printf %03d $(( $1 % 1000 )))"; }

# The clock in milliseconds, read without starting a process (the radix may follow the locale).
now_ms() { echo $(( ${EPOCHREALTIME//[!0-9]/} / 1000 )); }

# Whether the replacement of Norvik_Studio.exe has its temporary file in DIR at this moment.
copying_in() {  # copying_in DIR
  compgen -G "$1/~Norvik_Studio.exe.*.tmp" >/dev/null
}

# Whether process PID is still running (a child that ended stays a zombie until waited for).
running() {  # running PID
  local stat
  { read -r stat < "/proc/$1/stat"; } 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Kills process PID at a random point of its copy into DIR of a file of SIZE bytes: as soon as its
# temporary file, which grows as the copy goes, holds a random number of bytes below SIZE (polled
# every 5 ms; the copy's speed varies too much from run to run for a random delay to land in it).
# Sets $aim_mib, the point aimed at, and $landed: 1 when the temporary file was still there right
# after the kill, so the kill cut the copy short.
# shellcheck disable=SC2034  # aim_mib and landed are read by the caller
kill_during_copy() {  # kill_during_copy DIR PID SIZE
  local aim=$(( (RANDOM << 15 | RANDOM) % $3 )) deadline written
  aim_mib=$(( aim >> 20 ))
  deadline=$(( $(now_ms) + 60000 ))
  while running "$2" && [ "$(now_ms)" -lt "$deadline" ]; do
    written=$(stat -c %s -- "$1"/~Norvik_Studio.exe.*.tmp 2>/dev/null || true)
    [ -n "$written" ] && [ "${written%%$'\n'*}" -ge "$aim" ] && break
    sleep 0.005
  done
  kill -KILL "$2" 2>/dev/null || true
  wait "$2" 2>/dev/null || true
  landed=0
  if copying_in "$1"; then landed=1; fi
}

# Fails unless more than half of ROUNDS kills landed during the copy.
expect_most_landed() {  # expect_most_landed LANDED ROUNDS
  [ $(( 2 * $1 )) -gt "$2" ] || fail "only $1 of $2 kills landed during the copy"
}

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

# Every entry below the folders given, with its size, time and mode, and every file's digest.
folder_state() {  # folder_state FOLDER...
  local folder
  for folder in "$@"; do
    [ -e "$folder" ] || continue
    find "$folder" -printf '%p %y %s %T@ %m\n'
    find "$folder" -type f -exec sha256sum {} +
  done | sort
}

# revision-probe --plan on the launcher's folder DIR (below $drive_c) must print the plan ACTION
# with REASON in its reason, and change nothing in DIR or the store: no file written, removed,
# touched or started (a start would leave its record in DIR).
expect_plan() {  # expect_plan DIR ACTION REASON
  local before after output windows_dir plan status=0 out
  windows_dir="C:${1#"$drive_c"}"
  windows_dir=${windows_dir//\//\\}
  before=$(folder_state "$1" "$drive_c/Brelvance")
  # Into a file, not a pipe: Wine's services, started by the first program of a server, keep
  # the descriptors they were given, and a pipe would then never end.
  out=$(mktemp "$build/plan-output.XXXXXX")
  (cd "$drive_c" && timeout 60 wine "$build/revision-probe.exe" --plan "$windows_dir") \
    >"$out" 2>&1 || status=$?
  output=$(tr -d '\r' <"$out")
  rm -f "$out"
  [ "$status" = 0 ] || fail "revision-probe --plan $windows_dir ended with status $status: $output"
  after=$(folder_state "$1" "$drive_c/Brelvance")
  [ "$before" = "$after" ] ||
    fail "revision-probe --plan changed the folders: $(diff <(echo "$before") <(echo "$after"))"
  plan=$(grep $'^plan\t' <<<"$output") || fail "revision-probe --plan printed no plan: $output"
  [ "$(cut -f2 <<<"$plan")" = "$2" ] || fail "planned '$plan', expected $2"
  [[ "$(cut -f3 <<<"$plan")" == *"$3"* ]] || fail "planned '$plan', expected a reason with '$3'"
}

# FILE's sections, one a line: name, virtual size, size in the file, offset in the file (tabs).
pe_sections() {  # pe_sections FILE
  python3 "$(dirname "${BASH_SOURCE[0]}")/../../scripts/pe_fields.py" sections "$1"
}
