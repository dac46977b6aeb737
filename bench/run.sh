#!/usr/bin/env bash
# Benchmarks one run of tarvo: wall time beside `true` and a minimal C program, user-space
# instructions, system calls, fsyncs, the time until a waiting peer wakes, tarvo.exe's size and
# imports, and tarvo.exe under Wine beside a minimal Win32 program (bench/minimal_win32.c) of the
# same build, on one wineserver of a prefix of the benchmark's own. Prints a table and writes it
# to bench/out/latest.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
for tool in valgrind strace; do
  command -v "$tool" >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool" >/dev/null; }
done
source scripts/wine.sh
wine_pick  # the Windows build that this machine's Wine runs: windows, or windows64 where 32-bit code cannot run
for preset in native windows $WINE_PRESET; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
mkdir -p bench/out
gcc -O2 -static -o bench/out/minimal bench/minimal.c
if [[ $WINE_PRESET == windows64 ]]; then mingw=x86_64-w64-mingw32-gcc-posix; else mingw=i686-w64-mingw32-gcc-posix; fi
$mingw -O2 -s -mwindows -o bench/out/minimal_win32.exe bench/minimal_win32.c
export WINEPREFIX=$PWD/bench/out/wineprefix
wine_start
trap wine_stop EXIT
python3 bench/bench.py --tarvo build/native/app/tarvo --wait build/native/wait/tarvo-wait \
  --minimal bench/out/minimal --exe build/windows/app/tarvo.exe --out bench/out/latest.md \
  --wine-loader "$WINE_LOADER" --wine-exe "build/$WINE_PRESET/app/tarvo.exe" \
  --wine-minimal bench/out/minimal_win32.exe "$@"
