#!/usr/bin/env bash
# Installs what is needed, builds and runs every test. With --sanitize: the same under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
dir=$(bash scripts/build.sh "$@" | tail -n 1)
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The PAM test wrapper keeps a folder per process under /tmp; a process killed while it set one up leaves it
# behind without an owner, and the wrapper has a limited number of them. Remove those left by earlier runs.
for d in /tmp/pam.?; do
  [ -d "$d" ] || continue
  p=$(cat "$d/pid" 2>/dev/null || true)
  if [ -z "$p" ] || ! kill -0 "$p" 2>/dev/null; then rm -rf "$d"; fi
done
cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 300
