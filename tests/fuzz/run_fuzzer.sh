#!/usr/bin/env bash
# Runs the PE version reader's fuzzer for a bounded time:
#   run_fuzzer.sh BUILD_DIR SECONDS
# Seeds: the PE fixtures of the build (several records and languages, none, 32 and 64 bits) and
# a few of the system's own PE files. Whatever the fuzzer finds lands in BUILD_DIR/fuzz-findings;
# copy it into tests/fuzz/regressions once the reader is mended.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
seeds="$build/fuzz-seeds"
corpus="$build/fuzz-corpus"
findings="$build/fuzz-findings"
mkdir -p "$seeds" "$corpus" "$findings"
cp "$build"/fixtures/*.exe "$seeds/"
for dll in kernel32 user32 version shell32; do
  for dir in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/x86_64-windows; do
    [ -f "$dir/$dll.dll" ] && cp "$dir/$dll.dll" "$seeds/${dir##*/}-$dll.dll"
  done
done
cp "$(dirname "$0")"/regressions/* "$seeds/"
"$build/pe_version_reader_fuzzer" "$corpus" "$seeds" \
  -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 -malloc_limit_mb=64 -max_len=262144 \
  -artifact_prefix="$findings/" -print_final_stats=1 2>&1 | tail -n 15
