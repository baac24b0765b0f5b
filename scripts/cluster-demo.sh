#!/usr/bin/env bash
# Kestrel on a two-node Pacemaker cluster (both nodes in namespaces of this machine): installs what is
# needed, builds, then runs the narrated failover demonstration and removes everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)
exec python3 tests/cluster/twonode_demo.py "$dir"
