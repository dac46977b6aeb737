#!/usr/bin/env bash
# Benchmarks one run of tarvo: wall time beside `true` and a minimal C program, user-space
# instructions, system calls, fsyncs, the time until a waiting peer wakes, and tarvo.exe's size
# and imports. Prints a table and writes it to bench/out/latest.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
for tool in valgrind strace; do
  command -v "$tool" >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool" >/dev/null; }
done
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
done
mkdir -p bench/out
gcc -O2 -static -o bench/out/minimal bench/minimal.c
python3 bench/bench.py --tarvo build/native/app/tarvo --wait build/native/wait/tarvo-wait \
  --minimal bench/out/minimal --exe build/windows/app/tarvo.exe --out bench/out/latest.md "$@"
