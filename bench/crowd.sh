#!/usr/bin/env bash
# Runs N copies of the native tarvo at once for growing N and counts the blocks that reach the log
# (bench/crowd.py). The copies share the fixed event name, so the benchmark runs in a /dev/shm of
# its own (a mount namespace; needs root). Writes the table to bench/out/crowd.md.
#   bench/crowd.sh [--counts 250,500,1000,2000,3000,4000,6000,8000] [--dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${TARVO_PRIVATE_SHM:-}" != 1 ]]; then
  scripts/install-deps.sh
  cmake --preset native >/dev/null
  cmake --build --preset native -j "$(nproc)" >/dev/null
  export TARVO_PRIVATE_SHM=1
  exec unshare --mount sh -c 'mount -t tmpfs tmpfs /dev/shm && exec "$0" "$@"' "$0" "$@"
fi
python3 bench/crowd.py --tarvo build/native/app/tarvo --out bench/out/crowd.md "$@"
