#!/usr/bin/env bash
# Start-up time (exec to a connectable listening port) and resident memory of an idle pellar
# with default keys (only its port is chosen, so that it does not meet another process), each
# the best of several runs, beside the same figures of a minimal Python TCP listener measured in
# the same run. Usage: bench/pellar_startup.sh [build-dir] [runs]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
RUNS="${2:-5}"
PELLAR="$BUILD/pellar"
[ -x "$PELLAR" ] || { echo "no pellar at $PELLAR (build first)" >&2; exit 1; }
WORK="$(mktemp -d "$ROOT/bench-pellar.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now_ns() { date +%s%N; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# Runs one program ($@ after the port placeholder is substituted), prints "<startup_ms> <rss_kb>".
measure() {
    local port; port="$(free_port)"
    local args=("${@//@PORT@/$port}")
    local t0; t0="$(now_ns)"
    "${args[@]}" >"$WORK/out.txt" 2>&1 &
    local pid=$!
    until listening "$port"; do
        kill -0 "$pid" 2>/dev/null || { echo "process ended before listening" >&2; cat "$WORK/out.txt" >&2; exit 1; }
        sleep 0.002
    done
    local t1; t1="$(now_ns)"
    sleep 2 # idle
    local rss; rss="$(rss_kb "$pid")"
    kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
    echo "$(( (t1 - t0) / 1000000 )) $rss"
}

best() { # best start-up time and smallest RSS over RUNS runs
    local bt=999999 br=999999999 t r
    for _ in $(seq "$RUNS"); do
        read -r t r < <(measure "$@")
        (( t < bt )) && bt=$t
        (( r < br )) && br=$r
    done
    echo "$bt $br"
}

mkdir -p "$WORK/log"
CONF="$WORK/pellar.conf"
read -r PT PR < <(best bash -c "printf 'tgt_port %s\nsdbg_port 0\n' @PORT@ > '$CONF'; cd '$WORK' && exec '$PELLAR' --conf_file '$CONF' --log_dir '$WORK/log'")
read -r AT AR < <(best python3 -c "import socket,time; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(('127.0.0.1', @PORT@)); s.listen(); time.sleep(3600)")

printf '%-40s %12s %12s\n' "figure" "pellar" "anchor"
printf '%-40s %12s %12s\n' "start-up to listening (ms, best of $RUNS)" "$PT" "$AT"
printf '%-40s %12s %12s\n' "idle resident memory (MB, least of $RUNS)" "$((PR / 1024))" "$((AR / 1024))"
echo "anchor: a minimal Python 3 TCP listener, started and measured the same way"
