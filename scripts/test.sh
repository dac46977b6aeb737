#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test: native Linux, native
# under AddressSanitizer/UndefinedBehaviorSanitizer and libFuzzer, Windows under Wine, and both demos.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
source scripts/wine.sh

jobs=$(nproc)
build_preset() {
  echo "=== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}
run_preset() {
  build_preset "$1"
  shift
  ctest --preset "$@" -j "$jobs"
}

run_preset native native
run_preset sanitize sanitize
run_preset fuzz fuzz

wine_pick
trap wine_stop EXIT
if [[ $WINE_PRESET == windows ]]; then
  wine_start
  run_preset windows windows
else
  echo "This machine cannot execute 32-bit code: the 32-bit build is packaged and checked, and the"
  echo "Windows tests run on the 64-bit build of the same sources under 64-bit Wine."
  run_preset windows windows -L package
  wine_start
  run_preset windows64 windows64
fi
wine_stop

# The README's first command, on both systems: a broken demo fails the run.
echo "=== demos"
scripts/demo.sh
scripts/demo.sh --windows
