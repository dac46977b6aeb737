#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# native Linux, native under AddressSanitizer/UndefinedBehaviorSanitizer, and 32-bit Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows

jobs=$(nproc)
run_preset() {
  echo "=== $1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs"
}

# Wine: a prefix inside the build tree, set up once, and one persistent server for the whole run.
export WINEPREFIX=$PWD/build/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start_wine() {
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true  # a server left from an earlier run would never end
  wine wineboot --init >/dev/null 2>&1
  # A crashing test program must not start a debugger that waits for somebody.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d false /f >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1
  # The first program on a new server starts Wine's own services; they would inherit (and hold
  # open) a test's output pipes, so start them here, detached from any test.
  wine cmd /c exit >/dev/null 2>&1 </dev/null
}
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }

run_preset native
run_preset sanitize
run_preset fuzz
trap stop_wine EXIT
start_wine
run_preset windows
