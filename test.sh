#!/usr/bin/env bash
# Installs the packages, builds both trees (plain and sanitized) and runs every test in both.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
JOBS="$(nproc)"
status=0
# Death-test children end with _exit, so their scratch directories are removed here instead: every
# run keeps them under a root of its own (not tmpfs, which refuses O_DIRECT), removed at the end.
BASE=/tmp
[ "$(stat -f -c %T /tmp)" = tmpfs ] && BASE=/var/tmp
PELLAR_SCRATCH_ROOT="$(mktemp -d "$BASE/pellar-run-XXXXXX")"
export PELLAR_SCRATCH_ROOT
trap 'rm -rf "$PELLAR_SCRATCH_ROOT"' EXIT
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
