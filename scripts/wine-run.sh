#!/bin/sh
# Runs a Windows program under Wine:  wine-run.sh PREFIX LOADER PROGRAM [ARGUMENTS...]
# LOADER is Wine's 32-bit or 64-bit loader, matching the program. The build uses it to run the
# Windows tests; a persistent wineserver keeps each start cheap.
export WINEPREFIX="$1"
export WINELOADER="$2"
shift 2
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# No display: a message box cannot wait for a click that never comes.
unset DISPLAY WAYLAND_DISPLAY
exec "$WINELOADER" "$@"
