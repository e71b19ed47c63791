#!/usr/bin/env bash
# Installs the packages, builds both trees (plain and sanitized) and runs every test in both.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
JOBS="$(nproc)"
status=0
# Death-test children end with _exit, so their scratch directories are removed here instead.
MARKER="$(mktemp)"
trap 'find /tmp /var/tmp -maxdepth 1 -name "pellar-*" -newer "$MARKER" -exec rm -rf {} + 2>/dev/null; rm -f "$MARKER"' EXIT
for tree in plain asan; do
  "$ROOT/scripts/build.sh" "$tree"
  dir="$ROOT/build"; [ "$tree" = asan ] && dir="$ROOT/build-asan"
  echo "=== tests: $tree tree ==="
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  if ! ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 300; then
    status=1
  fi
done
exit $status
