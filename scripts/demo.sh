#!/usr/bin/env bash
# Builds tarvo and shows it at work: a peer waits on the named event, tarvo wakes it, and the log
# tarvo wrote is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" >/dev/null

bin=$PWD/build/native
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
cd "$demo"

echo "\$ tarvo-wait --timeout 10 &"
coproc PEER { "$bin/wait/tarvo-wait" --timeout 10; }
read -r line <&"${PEER[0]}" && echo "peer: $line"
echo "\$ tarvo"
"$bin/app/tarvo"
echo "tarvo exit code: $?"
read -r line <&"${PEER[0]}" && echo "peer: $line"
wait "$PEER_PID" && echo "peer exit code: 0"
echo "\$ cat TARVO.LOG"
cat TARVO.LOG
