#!/usr/bin/env bash
# Installs the packages, builds both trees (plain and sanitized), runs every test in both, then runs
# each fuzz target for a bounded time.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
JOBS="$(nproc)"
status=0
failedTrees=()
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
    failedTrees+=("$tree:$dir")
  fi
done
# Every fuzz target of test/fuzz runs at the same time as the others for a bounded time, from its
# kept corpus (test/fuzz/corpus/<target>); new inputs go to a scratch directory, so the kept corpus
# changes only by hand. A crash fails the run and leaves its input in build-fuzz/artifacts/<target>/.
FUZZ_SECONDS="${PELLAR_FUZZ_SECONDS:-60}"
"$ROOT/scripts/build.sh" fuzz
declare -A fuzzPids=()
for prog in "$ROOT"/build-fuzz/test/fuzz/*_fuzz; do
  [ -x "$prog" ] || continue
  name="$(basename "$prog")"
  work="$PELLAR_SCRATCH_ROOT/fuzz-$name"
  artifacts="$ROOT/build-fuzz/artifacts/$name"
  mkdir -p "$work/new" "$artifacts"
  corpus=("$work/new")
  [ -d "$ROOT/test/fuzz/corpus/$name" ] && corpus+=("$ROOT/test/fuzz/corpus/$name")
  echo "=== fuzz: $name for ${FUZZ_SECONDS} s ==="
  "$prog" -max_total_time="$FUZZ_SECONDS" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "${corpus[@]}" >"$work/log" 2>&1 &
  fuzzPids[$name]=$!
done
for name in "${!fuzzPids[@]}"; do
  if wait "${fuzzPids[$name]}"; then
    echo "fuzz $name: $(grep -m1 -o 'Done [0-9]* runs' "$PELLAR_SCRATCH_ROOT/fuzz-$name/log" || echo done)"
  else
    echo "fuzz $name FAILED (seed and report below; inputs kept in build-fuzz/artifacts/$name/)"
    grep -m1 'INFO: Seed' "$PELLAR_SCRATCH_ROOT/fuzz-$name/log" || true
    tail -n 40 "$PELLAR_SCRATCH_ROOT/fuzz-$name/log"
    status=1
  fi
done
# Only the end of a long run may be kept by whoever reads it, so the failed tests come last once more:
# their names, then each one run again alone with its output (the run stays failed either way).
for entry in "${failedTrees[@]}"; do
  tree="${entry%%:*}"; dir="${entry#*:}"
  echo "=== failed tests of the $tree tree ==="
  cat "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || true
  ctest --test-dir "$dir" --rerun-failed --output-on-failure --timeout 300 2>&1 | tail -n 120 || true
done
exit $status
