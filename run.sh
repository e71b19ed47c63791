#!/usr/bin/env bash
# Installs the packages, builds, and runs the main job: storemint creates a 2 GB file in a
# scratch directory, a pellar is started there on its own port, shown listening, and stopped with
# SIGTERM.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")" && pwd)"
"$ROOT/scripts/install-deps.sh"
"$ROOT/scripts/build.sh" plain
SCRATCH="$ROOT/scratch"
mkdir -p "$SCRATCH/log"
rm -f "$SCRATCH/pellar-device-2g.img"
"$ROOT/build/storemint" --create_file --size_gb 2 --file_name "$SCRATCH/pellar-device-2g.img"
ls -l "$SCRATCH/pellar-device-2g.img"

PORT="${PELLAR_PORT:-7072}"
printf 'tgt_port %s\nsdbg_port 0\n' "$PORT" > "$SCRATCH/pellar.conf"
cd "$SCRATCH"
"$ROOT/build/pellar" --conf_file "$SCRATCH/pellar.conf" --log_dir "$SCRATCH/log" > "$SCRATCH/pellar.out" 2>&1 &
PID=$!
for _ in $(seq 500); do
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
    kill -0 "$PID" 2>/dev/null || { echo "pellar ended:"; cat "$SCRATCH/pellar.out"; exit 1; }
    sleep 0.02
done
echo "--- pellar (pid $PID) is listening:"
if command -v ss >/dev/null; then ss -ltnp | grep -E "[:.]$PORT[[:space:]]" || true; fi
sleep 1 # the trace file is written out every period
grep -h "Pellar started" "$SCRATCH"/log/trc.* || true
echo "--- SIGTERM:"
kill -TERM "$PID"
wait "$PID" || true
grep -h -E "tgt_serviceStop\(\) was called|Update the DRL mode|Abort all WD" "$SCRATCH"/log/trc.* || true
grep -h "Termination due to signal" "$SCRATCH"/log/exp.* || true
