#!/usr/bin/env bash
# Installs the packages, builds, and runs the main job: a local cluster in scratch/cluster. Two
# pellars (three with --migrate), each with a device file made by storemint, its own directory,
# port and logs, are configured by OstrelSim as their manager into a mirrored volume; a QuilletSim
# workload runs through the primary, the secondary is killed, degraded with the manager's permit,
# restarted and rebuilt, both copies are compared and everything is stopped. Exits non-zero when a
# check fails.
#   ./run.sh [--seconds N] [--migrate]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh" plain
SCRATCH="$ROOT/scratch/cluster"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"
# The device files are 2 GB each: do not start without the room for them.
NEED_KB=$(( 3 * 2 * 1024 * 1024 ))
FREE_KB=$(df -Pk "$SCRATCH" | awk 'NR==2 {print $4}')
if [ "$FREE_KB" -lt "$NEED_KB" ]; then
  echo "run.sh: $SCRATCH has ${FREE_KB} KB free, the device files need ${NEED_KB} KB" >&2
  exit 1
fi
status=0
PELLAR_BUILD_DIR="$ROOT/build" "$ROOT/build/cluster_demo" --root "$SCRATCH" "$@" || status=$?
# The logs stay; the device files are large and go.
rm -f "$SCRATCH"/pellar-*/dev.img
exit "$status"
