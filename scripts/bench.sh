#!/usr/bin/env bash
# Measures what the README's benchmark table shows, side by side in one run on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null && cmake --build --preset native >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null
source scripts/wine_env.sh
wine=$(wine_preset)
[ "$wine" = win32 ] || { cmake --preset "$wine" >/dev/null && cmake --build --preset "$wine" >/dev/null; }
native=build/native

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"\
     "$(df -T "$native" | awk 'NR == 2 { print $2 }') file system"
echo
"$native/bench/probe_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  2>/dev/null | grep -E 'median|Benchmark'
echo
"$native/bench/process_bench" start "$native/launcher" "$native/resources/launcher.ico" 500
"$native/bench/process_bench" replace "$native/bench/replace_once" "$native/fixtures/managed_1_0_0_7.exe" \
  "$native/bench-replace" 256 7
echo
echo "launcher.exe: $(stat -c %s build/win32/launcher.exe) bytes; imports:" \
     "$(i686-w64-mingw32-objdump -p build/win32/launcher.exe | awk '/DLL Name/ { printf "%s ", $3 }')"
echo
echo "Under Wine: build/$wine (win64 where this kernel cannot run 32-bit programs)"
bash bench/wine_signed_replace.sh "build/$wine" 256 5
