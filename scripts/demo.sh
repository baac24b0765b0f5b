#!/usr/bin/env bash
# Installs what is needed, builds, and runs the agent against the shipped example configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)
set +e
"$dir/bin/cairnagent" --config examples/cluster.toml -v monitor sap1BC_D00
rc=$?
"$dir/bin/cairnagent" --config examples/cluster.toml --json monitor sap1BC_D00
echo "agent log: /tmp/cairn-example/log/Kestrel.log"
# The example resource is deliberately invalid: Monitor answers UNKNOWN (exit 0: a state was obtained).
exit $rc
