#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh plain|asan
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
case "${1:-plain}" in
  plain) DIR="$ROOT/build"; ARGS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g") ;;
  asan)  DIR="$ROOT/build-asan"; ARGS=(-DCMAKE_BUILD_TYPE=Debug -DPELLAR_SANITIZE=ON) ;;
  *) echo "usage: $0 plain|asan" >&2; exit 1 ;;
esac
cmake -S "$ROOT" -B "$DIR" -G Ninja "${ARGS[@]}" >/dev/null
cmake --build "$DIR" -j "$(nproc)"
