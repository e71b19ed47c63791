#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh plain|asan|fuzz
# (fuzz: the libFuzzer targets of test/fuzz only, built by clang into build-fuzz/)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
TARGET=()
case "${1:-plain}" in
  plain) DIR="$ROOT/build"; ARGS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g") ;;
  asan)  DIR="$ROOT/build-asan"; ARGS=(-DCMAKE_BUILD_TYPE=Debug -DPELLAR_SANITIZE=ON) ;;
  fuzz)  DIR="$ROOT/build-fuzz"; TARGET=(--target fuzz_targets)
         ARGS=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DPELLAR_FUZZ=ON
               -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 plain|asan|fuzz" >&2; exit 1 ;;
esac
cmake -S "$ROOT" -B "$DIR" -G Ninja "${ARGS[@]}" >/dev/null
cmake --build "$DIR" -j "$(nproc)" "${TARGET[@]}"
