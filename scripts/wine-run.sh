#!/bin/sh
# Runs a Windows program under Wine in a given prefix:  wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The build uses it to run the Windows tests; a persistent wineserver keeps each start cheap.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# No display: a message box cannot wait for a click that never comes.
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
