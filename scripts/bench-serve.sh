#!/usr/bin/env bash
# bench-serve.sh [SECONDS] [ROUNDS]: qpk serve against nginx serving the same
# stamped bytes as a static file, on loopback, in the same run.
#
# Throughput: wrk with 2 threads and 64 connections for SECONDS (default 10)
# per measurement, on a 5 MiB and a 100 MiB package; the two servers take
# turns, ROUNDS (default 3) times each, and the medians are reported with the
# ratio of the bytes per second (with 64 downloads of 100 MiB under way, few
# complete within a measurement, so completed requests say little there). Both get the same cores: qpk serve one thread per core, nginx one
# worker per core, both with sendfile.
#
# Memory: a fresh qpk serve, 1,000 downloads of the 100 MiB package at once,
# each read at 64 KiB/s through a 16 KiB receive buffer (tests/serve's
# slow_clients), and the server's peak resident memory (VmHWM) once all of
# them have been under way for 10 s.
#
# Everything lives on tmpfs. Draws docs/serve-bench.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
duration=${1:-10}
rounds=${2:-3}
scripts/install-deps.sh gnuplot-nox bc
./dev.sh build >/dev/null
qpk=$root/build/native/tools/qpk/qpk
work=/dev/shm/qpk-bench-serve
host="[$(scripts/i386-support.sh mode --short)]"
rm -rf "$work"
mkdir -p "$work/www" "$work/nginx/logs"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
tests/e2e/make-keys.sh "$work/keys"

# make_package SIZE_MIB OUT: launcher + padded probe installer, signed.
make_package() {
  cp build/win32/tests/tools/probe.exe "$work/payload.exe"
  truncate -s "$1M" "$work/payload.exe"
  "$qpk" build --launcher build/win32/launcher/launcher.exe --payload "$work/payload.exe" -o "$work/built.exe"
  osslsigncode sign -certs "$work/keys/cert.pem" -key "$work/keys/key.pem" -in "$work/built.exe" -out "$2" >/dev/null
  rm -f "$work/payload.exe" "$work/built.exe"
}
make_package 5 "$work/p5.exe"
make_package 100 "$work/p100.exe"
openssl rand -hex 32 >"$work/key"
printf '{"ResellerId":"42","ProductName":"Benchmark"}' >"$work/params.json"

# A free port on loopback.
free_port() {
  local port
  for port in $(seq "$1" $(($1 + 200))); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
  echo "no free port from $1" >&2
  exit 1
}

# start_serve: starts qpk serve; sets serve_pid and serve_port.
start_serve() {
  "$qpk" serve --listen 127.0.0.1:0 --hmac-key-file "$work/key" --package "p5=$work/p5.exe" \
    --package "p100=$work/p100.exe" >"$work/serve.out" 2>>"$work/serve.err" &
  serve_pid=$!
  pids+=("$serve_pid")
  for _ in $(seq 100); do
    grep -q listening "$work/serve.out" 2>/dev/null && break
    sleep 0.1
  done
  serve_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/serve.out")
  [ -n "$serve_port" ] || { cat "$work/serve.err" >&2; exit 1; }
}

stop_serve() {
  kill -TERM "$serve_pid"
  wait "$serve_pid" || true
}

# The link of package NAME: the parameters signed now.
params=$(base64 -w0 <"$work/params.json" | tr '+/' '-_' | tr -d '=')
link() {
  local ts sig
  ts=$(date +%s)
  sig=$(printf '%s' "$params.$ts" | openssl dgst -sha256 -hmac "$(cat "$work/key")" -r | cut -d' ' -f1)
  echo "http://127.0.0.1:$serve_port/$1?params=$params&ts=$ts&sig=$sig"
}

start_serve
nginx_port=$(free_port 18080)
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes $(nproc);
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
daemon off;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  types { application/octet-stream exe; }
  server { listen 127.0.0.1:$nginx_port; root $work/www; }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)
sleep 0.5

# nginx serves what qpk stamp writes; qpk serve must send the same bytes.
for size in 5 100; do
  "$qpk" stamp "$work/p$size.exe" -o "$work/www/p$size.exe" --params "$work/params.json"
  curl -sf "$(link "p$size")" | cmp - "$work/www/p$size.exe"
  curl -sf "http://127.0.0.1:$nginx_port/p$size.exe" | cmp - "$work/www/p$size.exe"
done

# wrk_run URL: "REQUESTS_PER_S MB_PER_S" of one measurement. The bytes are all
# that arrived, responses not yet complete when the time was up included; no
# response counts as timed out before the measurement ends.
cat >"$work/summary.lua" <<'EOF'
done = function(summary, latency, requests)
  io.write(string.format("%.2f %.2f\n", summary.requests / summary.duration * 1e6, summary.bytes / summary.duration))
end
EOF
wrk_run() { wrk -t2 -c64 -d"${duration}s" --timeout "$((duration + 60))s" -s "$work/summary.lua" "$1" | tail -1; }
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

data=$work/serve-bench.dat
: >"$data"
for size in 5 100; do
  nginx_rps=() nginx_mbs=() serve_rps=() serve_mbs=()
  for round in $(seq "$rounds"); do
    read -r rps mbs < <(wrk_run "http://127.0.0.1:$nginx_port/p$size.exe")
    nginx_rps+=("$rps") nginx_mbs+=("$mbs")
    read -r rps mbs < <(wrk_run "$(link "p$size")")
    serve_rps+=("$rps") serve_mbs+=("$mbs")
    printf '%3d MiB round %d: nginx %7.1f req/s %5.0f MB/s   qpk serve %7.1f req/s %5.0f MB/s %s\n' "$size" "$round" \
      "${nginx_rps[-1]}" "${nginx_mbs[-1]}" "${serve_rps[-1]}" "${serve_mbs[-1]}" "$host"
  done
  n_rps=$(printf '%s\n' "${nginx_rps[@]}" | median)
  n_mbs=$(printf '%s\n' "${nginx_mbs[@]}" | median)
  s_rps=$(printf '%s\n' "${serve_rps[@]}" | median)
  s_mbs=$(printf '%s\n' "${serve_mbs[@]}" | median)
  ratio=$(echo "$s_mbs / $n_mbs" | bc -l)
  printf '%3d MiB, 64 connections, median of %d: nginx %.1f req/s %.0f MB/s; qpk serve %.1f req/s %.0f MB/s; ratio %.2f (target >= 0.80) %s\n' \
    "$size" "$rounds" "$n_rps" "$n_mbs" "$s_rps" "$s_mbs" "$ratio" "$host"
  printf '"%d MiB" %.1f %.1f %.1f %.1f %.2f\n' "$size" "$n_mbs" "$s_mbs" "$n_rps" "$s_rps" "$ratio" >>"$data"
done
stop_serve

# 1,000 slow downloads on a fresh server.
start_serve
target=$(link p100)
target=/${target#http://*/}
base_fds=$(find "/proc/$serve_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
build/native/tests/serve/slow_clients "$serve_port" "$target" 1000 65536 25 >"$work/slow.out" &
slow_pid=$!
pids+=("$slow_pid")
for _ in $(seq 600); do
  fds=$(find "/proc/$serve_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  [ "$fds" -ge $((1000 + base_fds)) ] && break
  sleep 0.1
done
connections=$((fds - base_fds))
sleep 10
peak=$(awk '/^VmHWM:/ {print $2}' "/proc/$serve_pid/status")
rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$serve_pid/status")
wait "$slow_pid"
printf 'qpk serve with %d concurrent slow downloads (100 MiB, each read at 64 KiB/s): peak %.1f MiB, %.1f MiB after 10 s (target < 64 MiB); clients: %s %s\n' \
  "$connections" "$(echo "$peak / 1024" | bc -l)" "$(echo "$rss / 1024" | bc -l)" "$(cat "$work/slow.out")" "$host"
stop_serve

subtitle="loopback, wrk -t2 -c64, median of $rounds x ${duration}s; peak memory with $connections slow downloads: $(printf '%.1f' "$(echo "$peak / 1024" | bc -l)") MiB $host"
gnuplot -e "data='$data'; out='$root/docs/serve-bench.png'; subtitle='$subtitle'" "$root/scripts/bench-serve.gnuplot"
echo "plot: docs/serve-bench.png"
