#!/usr/bin/env bash
# Installs what is needed, builds, and runs the demonstration (as root): cairnagent demo sets up a simulated
# SAP system in a temporary directory, drives it through the agent and removes everything it made.
# Options are passed to cairnagent (for example -v to see every agent-log message).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh | tail -n 1)
exec "$dir/bin/cairnagent" "$@" demo
