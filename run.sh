#!/usr/bin/env bash
# Installs the packages, builds, and runs the main job: storemint creates a 1 GB file in a
# scratch directory and reports the result.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh" plain
SCRATCH="$ROOT/scratch"
mkdir -p "$SCRATCH"
"$ROOT/build/storemint" --create_file --size_gb 1 --file_name "$SCRATCH/pellar-device-1g.img"
ls -l "$SCRATCH/pellar-device-1g.img"
