#!/usr/bin/env bash
# Builds tarvo and shows it at work: a peer waits on the named event, tarvo wakes it, and the log
# tarvo wrote is shown.
#   demo.sh             the native Linux programs
#   demo.sh --windows   tarvo.exe and tarvo-wait.exe under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
windows=false
[[ "${1:-}" == "--windows" ]] && windows=true

if $windows; then
  scripts/install-deps.sh --windows
  source scripts/wine.sh
  wine_pick
  preset=$WINE_PRESET
  run=("$WINE_LOADER")
  exe=.exe
else
  scripts/install-deps.sh
  preset=native
  run=()
  exe=
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
bin=$PWD/build/$preset
tarvo=$bin/app/tarvo$exe
peer=$bin/wait/tarvo-wait$exe

demo=$(mktemp -d)
peer_pid=
finish() {
  if [[ -n $peer_pid ]]; then kill "$peer_pid" 2>/dev/null || true; fi
  if $windows; then wine_stop; fi
  rm -rf "$demo"
}
trap finish EXIT
if $windows; then
  # A prefix of the demo's own: its server is started and stopped here, never one that tests use.
  export WINEPREFIX=$bin/demo-wineprefix
  wine_start
  if [[ $preset == windows64 ]]; then
    echo "(this machine runs 64-bit code only: the 64-bit build of the same sources)"
  fi
fi
cd "$demo"

# The event is the user's: a waiter of this user's that is already running would take the demo's
# signal (and react to it). A leftover object of killed holders can be locked and does no harm.
if ! $windows; then
  event=/dev/shm/tarvo-event.$(id -u).{E2B90EB2-C1FF-41B1-AD29-E12A06492A93}
  if [[ -e $event ]] && ! flock --nonblock --exclusive "$event" true 2>/dev/null; then
    echo "Another process of this user holds the tarvo event (a waiter?): the demo's signal would" >&2
    echo "go to it. Stop it, or run the demo as another user." >&2
    exit 1
  fi
fi

# The peer writes into a file that is read as it grows: nothing is lost when the peer ends first.
echo "\$ tarvo-wait$exe --timeout 20 &"
"${run[@]}" "$peer" --timeout 20 >peer.out 2>&1 </dev/null &
peer_pid=$!
for _ in $(seq 400); do
  grep -qx $'waiting\r\\?' peer.out && break
  kill -0 "$peer_pid" 2>/dev/null || break
  sleep 0.05
done
grep -qx $'waiting\r\\?' peer.out || { cat peer.out; echo "the peer did not start waiting" >&2; exit 1; }
echo "peer: waiting"
echo "\$ tarvo$exe"
"${run[@]}" "$tarvo"
echo "tarvo exit code: $?"
peer_status=0
wait "$peer_pid" || peer_status=$?
peer_pid=
tail -n +2 peer.out | tr -d '\r' | sed 's/^/peer: /'
echo "peer exit code: $peer_status"
[[ $peer_status -eq 0 ]] || exit 1
log=$(basename "$tarvo" "$exe" | tr '[:lower:]' '[:upper:]').LOG
echo "\$ cat $log"
cat "$log"
