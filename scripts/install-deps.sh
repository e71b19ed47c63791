#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with.
set -euo pipefail
PACKAGES=(build-essential cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev libaio-dev
          libnuma-dev libssl-dev libsqlite3-dev sqlite3 openssl util-linux procps
          python3 # scripts/check_layering.py
          clang libclang-rt-dev # the libFuzzer targets of test/fuzz (scripts/build.sh fuzz)
          # benchmark anchors only (bench/): switches beside fcontext, checksums beside ISA-L,
          # device transfers beside fio, the wire beside sockperf and iperf3, client I/O beside
          # nbdkit serving the same file
          libboost-context-dev libisal-dev fio sockperf iperf3 nbdkit)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ "${PELLAR_SKIP_APT:-0}" != "1" ]; then
  $SUDO apt-get update
  $SUDO apt-get install -y "${PACKAGES[@]}"
fi
