#!/usr/bin/env bash
# HTTP load on loopback: wrk (2 threads, 100 connections) against the web server with the real
# components behind it (bench/http_bench.cpp, 100 devices) and, in the same run, against nginx
# serving the same bytes as static files. Then GET /api/version again while two requests wait
# in a slow handler.
#   scripts/bench-http.sh [build-dir] [seconds-per-run] [pinned]
# With "pinned", both servers run on CPU 0 and wrk on CPU 1, so that the load generator and
# the server under test do not take each other's CPU time (the figures of a 2-core machine
# otherwise mostly show the scheduler).
# Needs the Debian packages wrk and nginx-light (scripts/install-deps.sh bench). Everything
# listens on 127.0.0.1 only; the processes started here are stopped by their PIDs.
set -euo pipefail

build_dir=${1:-build/h-web-release}
seconds=${2:-10}
server_cpu=()
client_cpu=()
if [ "${3:-}" = pinned ]; then
    if [ "$(nproc)" -lt 2 ]; then
        echo "bench-http: pinned runs need 2 CPUs" >&2
        exit 1
    fi
    server_cpu=(taskset -c 0)
    client_cpu=(taskset -c 1)
fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

for tool in wrk nginx curl; do
    command -v "$tool" >/dev/null || { echo "bench-http: $tool is not installed" >&2; exit 1; }
done
if [ "$seconds" -lt 1 ] || [ "$seconds" -gt 120 ]; then
    echo "bench-http: seconds per run must be 1..120" >&2
    exit 1
fi

if [ ! -f "$build_dir/build.ninja" ]; then
    cmake --preset release -B "$build_dir" -DPELLAN_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build_dir" --target http_bench -j2 >/dev/null

work=$(mktemp -d)
chmod 755 "$work"  # nginx's workers, which may run as another user, read the files below.
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Our server; it writes the bodies nginx will serve.
"${server_cpu[@]}" "$build_dir/bench/http_bench" --port-file "$work/port" --static-dir "$work/www" \
    --devices 100 --max-seconds $((seconds * 8 + 60)) >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    sleep 0.1
done
[ -s "$work/port" ] || { echo "bench-http: the server did not start" >&2; exit 1; }
ours=$(cat "$work/port")

# nginx on a free loopback port, its own prefix, configuration and PID file.
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/logs"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 10000000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/www;
        default_type application/json;
    }
}
EOF
"${server_cpu[@]}" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
pids+=($!)
for _ in $(seq 1 100); do
    curl -fs "http://127.0.0.1:$nginx_port/api/version" >/dev/null && break
    sleep 0.1
done

# Same bytes on both sides.
for path in /api/version /api/devices; do
    cmp -s <(curl -fs "http://127.0.0.1:$ours$path") <(curl -fs "http://127.0.0.1:$nginx_port$path") ||
        { echo "bench-http: the bodies of $path differ" >&2; exit 1; }
done

# "requests/s p99-in-ms" of one wrk run.
measure() {
    "${client_cpu[@]}" wrk -t2 -c100 -d"${seconds}s" --latency "$1" | awk '
        /Requests\/sec/ { rps = $2 }
        /^ +99%/ {
            v = $2
            if (v ~ /us$/) { sub(/us$/, "", v); p99 = v / 1000 }
            else if (v ~ /ms$/) { sub(/ms$/, "", v); p99 = v }
            else if (v ~ /s$/) { sub(/s$/, "", v); p99 = v * 1000 }
        }
        END { printf "%.0f %.2f\n", rps, p99 }'
}

printf '%-34s %12s %10s\n' "run" "requests/s" "p99 ms"
for path in /api/version /api/devices; do
    read -r n_rps n_p99 < <(measure "http://127.0.0.1:$nginx_port$path")
    read -r o_rps o_p99 < <(measure "http://127.0.0.1:$ours$path")
    printf '%-34s %12s %10s\n' "nginx $path" "$n_rps" "$n_p99"
    printf '%-34s %12s %10s\n' "web server $path" "$o_rps" "$o_p99"
    printf '%-34s %12s\n' "  ratio to nginx" "$(awk -v a="$o_rps" -v b="$n_rps" 'BEGIN { printf "%.2f", a / b }')"
done

# Two requests held in the slow handler while /api/version is measured.
waiters=()
for _ in 1 2; do
    curl -s -m $((seconds + 30)) "http://127.0.0.1:$ours/api/bench-wait" >/dev/null &
    waiters+=($!)
    pids+=($!)
done
sleep 0.5
read -r w_rps w_p99 < <(measure "http://127.0.0.1:$ours/api/version")
printf '%-34s %12s %10s\n' "web server /api/version, 2 waiting" "$w_rps" "$w_p99"
