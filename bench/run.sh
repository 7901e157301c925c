#!/usr/bin/env bash
# Benchmarks IxoWebServerBSD against nginx (with its open-file cache) and against a minimal epoll
# server (accept, read, write a canned 1 KiB response, close), side by side in one run: static file
# rates (1 KiB, 100 KiB), SOAP Read and information page rates, system calls per request (strace -c),
# and our resident memory idle and across one million mixed requests with the file cache full.
#
# Hermetic: everything runs inside a private mount namespace with a fresh tmpfs over /run, so the
# service's fixed socket directory never touches the machine's /run; nginx listens on its own socket
# in a temporary directory. Only Unix-domain sockets are used. Run as root.
#
# Settings (environment): CONCURRENCY (50), FILE_REQUESTS (100000 per 1 KiB measurement),
# BIG_REQUESTS (25000 per 100 KiB measurement), GATEWAY_REQUESTS (100000), ROUNDS (3, best kept),
# MEMORY_REQUESTS (1000000), MEMORY_STEP (100000), RSS_LIMIT_KIB (16384), RSS_GROWTH_KIB (256),
# STRACE_REQUESTS (20000 per system-call count), CACHE_FILES (640 distinct small files in the memory
# run, more than the file cache holds), BUILD (the release build directory),
# SERVER (a service binary to measure instead of the one built here).
set -euo pipefail
shopt -s inherit_errexit

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$top/build-release}"
server="${SERVER:-$build/IxoWebserviceBSD/BSD/IxoWebServerBSD}"
concurrency="${CONCURRENCY:-50}"
file_requests="${FILE_REQUESTS:-100000}"
big_requests="${BIG_REQUESTS:-25000}"
gateway_requests="${GATEWAY_REQUESTS:-100000}"
rounds="${ROUNDS:-3}"
memory_requests="${MEMORY_REQUESTS:-1000000}"
memory_step="${MEMORY_STEP:-100000}"
rss_limit_kib="${RSS_LIMIT_KIB:-16384}"
rss_growth_kib="${RSS_GROWTH_KIB:-256}"
strace_requests="${STRACE_REQUESTS:-20000}"
cache_files="${CACHE_FILES:-640}"
service_socket=/var/run/KvIxoWebService/kvixowebservice.sock
gateway_path=/KvIxoWebService/KvIxoWebService.dll

# The side-by-side run is Linux's: elsewhere (FreeBSD) say what cannot be measured and what can.
if [ "$(uname -s)" != Linux ]; then
  cat >&2 <<TEXT
bench: the side-by-side run needs Linux: a private mount namespace (unshare) keeps the service's
fixed socket directory off the machine's /run, memory and CPU time come from /proc/PID/status and
/proc/PID/schedstat, system calls from strace, and the minimal server is built on epoll. On
$(uname -s) the rates against nginx and the minimal server, the CPU time and system calls per
request and the RSS run are not measured. What runs here: the layer's benchmarks (files_bench,
kernel_objects_bench, string_process_bench in the build's bench/ folder) and kvload against a
running service: kvload -s /var/run/KvIxoWebService/kvixowebservice.sock -f REQUEST -n N -c C.
TEXT
  exit 2
fi

# ---------------------------------------------------------------------------------------------
# Second stage: inside the private mount namespace.
if [ "${KV_BENCH_STAGE:-}" = inside ]; then
  work="$KV_BENCH_WORK"
  echo $$ > "$work/inside.pid"
  kvload="$build/bench/kvload"
  minimal="$build/bench/minimal_server"
  mount -t tmpfs -o mode=0755,size=16m kvbench-run /run

  service_pid=""
  nginx_pid=""
  minimal_pid=""
  stop_servers() {
    local pid
    for pid in $service_pid $nginx_pid $minimal_pid; do
      kill "$pid" 2>/dev/null || true
    done
    for pid in $service_pid $nginx_pid $minimal_pid; do
      wait "$pid" 2>/dev/null || true
    done
    service_pid=""
    nginx_pid=""
    minimal_pid=""
  }
  trap stop_servers EXIT
  trap 'exit 130' INT TERM

  # The same files for both servers.
  docroot="$work/docroot"
  mkdir -p "$docroot"
  head -c 1024 /dev/zero | tr '\0' 'k' > "$docroot/file1k.txt"
  head -c 102400 /dev/zero | tr '\0' 'K' > "$docroot/file100k.txt"
  # Distinct small files (4 to 12 KiB) for the memory run: more files and bytes than the cache holds.
  mkdir -p "$docroot/many" "$work/many"
  many_requests=()
  for i in $(seq 0 $((cache_files - 1))); do
    head -c $((4096 + (i % 9) * 1024)) /dev/zero | tr '\0' 'm' > "$docroot/many/f$i.txt"
    printf 'GET /many/f%d.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' "$i" > "$work/many/f$i.http"
    many_requests+=(-f "$work/many/f$i.http")
  done
  files_written=$(date +%s)

  # Requests, written once as complete messages.
  printf 'GET /file1k.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' > "$work/get1k.http"
  printf 'GET /file100k.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' > "$work/get100k.http"
  printf 'GET %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n' "$gateway_path" > "$work/info.http"
  read_body='<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><m:Read xmlns:m="http://korvel.example/KvIxoWebService/message/"><nPort>851</nPort><indexGroup>4096</indexGroup><indexOffset>0</indexOffset><cbLen>8</cbLen></m:Read></SOAP-ENV:Body></SOAP-ENV:Envelope>'
  printf 'POST %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\nSOAPAction: "http://korvel.example/KvIxoWebService/action/KvIxoWebService.Read"\r\nContent-Length: %d\r\n\r\n%s' \
    "$gateway_path" "${#read_body}" "$read_body" > "$work/read.http"

  nginx_socket="$work/nginx.sock"
  mkdir -p "$work/nginx-temp"
  cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
master_process on;
user root root;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    open_file_cache max=1000 inactive=60s;
    open_file_cache_valid 60s;
    keepalive_timeout 0;
    client_body_temp_path $work/nginx-temp/body;
    proxy_temp_path $work/nginx-temp/proxy;
    fastcgi_temp_path $work/nginx-temp/fastcgi;
    uwsgi_temp_path $work/nginx-temp/uwsgi;
    scgi_temp_path $work/nginx-temp/scgi;
    types { text/plain txt; }
    default_type application/octet-stream;
    server {
        listen unix:$nginx_socket;
        root $docroot;
    }
}
CONF

  # Waits (bounded) until a server answers one request on its socket.
  await_server() {
    local socket="$1" request="$2" pid="$3" name="$4" tries=0
    until [ -S "$socket" ] && "$kvload" -q -s "$socket" -f "$request" -n 1 -c 1 -w 2 >/dev/null 2>&1; do
      if ! kill -0 "$pid" 2>/dev/null; then
        echo "bench: $name exited during start-up" >&2
        cat "$work"/*.log >&2 2>/dev/null || true
        exit 1
      fi
      tries=$((tries + 1))
      if [ "$tries" -gt 100 ]; then
        echo "bench: $name did not answer within 10 s" >&2
        exit 1
      fi
      sleep 0.1
    done
  }

  "$server" -docroot "$docroot" > "$work/service.log" 2>&1 &
  service_pid=$!
  nginx -p "$work" -e "$work/nginx-error.log" -c "$work/nginx.conf" > "$work/nginx.log" 2>&1 &
  nginx_pid=$!
  minimal_socket="$work/minimal.sock"
  "$minimal" "$minimal_socket" > "$work/minimal.log" 2>&1 &
  minimal_pid=$!
  await_server "$service_socket" "$work/get1k.http" "$service_pid" IxoWebServerBSD
  await_server "$nginx_socket" "$work/get1k.http" "$nginx_pid" nginx
  await_server "$minimal_socket" "$work/get1k.http" "$minimal_pid" minimal_server

  rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$service_pid/status"; }
  rss_idle=$(rss_kib)

  # One measurement: prints the rate; any failed request ends the benchmark.
  measure() {
    local socket="$1" request="$2" count="$3" expected_len="$4" line
    local args=(-q -s "$socket" -f "$request" -n "$count" -c "$concurrency")
    if [ -n "$expected_len" ]; then args+=(-l "$expected_len"); fi
    if ! line=$("$kvload" "${args[@]}"); then
      echo "bench: failed requests against $socket with $(basename "$request")" >&2
      exit 1
    fi
    echo "$line" | sed -n 's/^rps=\([0-9]*\).*/\1/p'
  }
  # Best rate of several rounds; the servers take turns so both see the same machine state.
  best_of() {
    local best=0 rate i
    for i in $(seq "$rounds"); do
      rate=$(measure "$@")
      if [ "$rate" -gt "$best" ]; then best=$rate; fi
    done
    echo "$best"
  }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

  # The service keeps a file in memory only once it has been unchanged for three seconds.
  while [ $(($(date +%s) - files_written)) -lt 4 ]; do sleep 0.2; done

  # Warm-up: all servers, all request types.
  measure "$service_socket" "$work/get1k.http" 5000 1024 >/dev/null
  measure "$nginx_socket" "$work/get1k.http" 5000 1024 >/dev/null
  measure "$minimal_socket" "$work/get1k.http" 5000 1024 >/dev/null
  measure "$service_socket" "$work/read.http" 2000 "" >/dev/null
  measure "$service_socket" "$work/info.http" 2000 "" >/dev/null

  ours_1k=0 nginx_1k=0 minimal_1k=0 ours_100k=0 nginx_100k=0
  for i in $(seq "$rounds"); do
    r=$(measure "$service_socket" "$work/get1k.http" "$file_requests" 1024)
    if [ "$r" -gt "$ours_1k" ]; then ours_1k=$r; fi
    r=$(measure "$nginx_socket" "$work/get1k.http" "$file_requests" 1024)
    if [ "$r" -gt "$nginx_1k" ]; then nginx_1k=$r; fi
    r=$(measure "$minimal_socket" "$work/get1k.http" "$file_requests" 1024)
    if [ "$r" -gt "$minimal_1k" ]; then minimal_1k=$r; fi
    r=$(measure "$service_socket" "$work/get100k.http" "$big_requests" 102400)
    if [ "$r" -gt "$ours_100k" ]; then ours_100k=$r; fi
    r=$(measure "$nginx_socket" "$work/get100k.http" "$big_requests" 102400)
    if [ "$r" -gt "$nginx_100k" ]; then nginx_100k=$r; fi
  done
  soap_read=$(best_of "$service_socket" "$work/read.http" "$gateway_requests" "")
  info_page=$(best_of "$service_socket" "$work/info.http" "$gateway_requests" "")
  # The SOAP answer must carry the eight zero bytes.
  if ! "$kvload" -q -s "$service_socket" -f "$work/read.http" -n 100 -c 10 -k '<ppData>AAAAAAAAAAA=</ppData>' >/dev/null; then
    echo "bench: SOAP Read answer lacks the expected data" >&2
    exit 1
  fi

  # System calls per request: strace -c on the server process over a run of 1 KiB requests.
  # Prints the total per request, then the calls that come at least once per ten requests.
  syscalls_per_request() {
    local pid="$1" socket="$2" request="$3" out="$work/strace.$1.$(basename "$3")" tracer tries=0
    strace -c -f -p "$pid" -o "$out" 2>/dev/null &
    tracer=$!
    until [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$pid/status")" != 0 ]; do
      tries=$((tries + 1))
      if [ "$tries" -gt 100 ]; then
        echo "bench: strace did not attach to $pid" >&2
        exit 1
      fi
      sleep 0.1
    done
    if ! "$kvload" -q -s "$socket" -f "$request" -n "$strace_requests" -c "$concurrency" >/dev/null; then
      echo "bench: failed requests while counting system calls of $pid" >&2
      exit 1
    fi
    kill -INT "$tracer"
    wait "$tracer" || true
    awk -v n="$strace_requests" '
      $NF == "total" { total = $4 }
      NF >= 5 && $1 ~ /^[0-9.]+$/ && $NF != "total" && $4 >= n / 10 { detail = detail sprintf(" %s %.2f", $NF, $4 / n) }
      END { printf "%.2f (%s )", total / n, detail }' "$out"
  }
  # Server CPU time per request (from /proc/PID/schedstat, in microseconds): less sensitive to
  # other load on the machine than the rates, since the loader's own time is not in it.
  cpu_per_request() {
    local pid="$1" socket="$2" request="$3" before after
    before=$(cut -d' ' -f1 "/proc/$pid/schedstat")
    if ! "$kvload" -q -s "$socket" -f "$request" -n "$file_requests" -c "$concurrency" >/dev/null; then
      echo "bench: failed requests while measuring the CPU time of $pid" >&2
      exit 1
    fi
    after=$(cut -d' ' -f1 "/proc/$pid/schedstat")
    awk -v a="$before" -v b="$after" -v n="$file_requests" 'BEGIN { printf "%.2f", (b - a) / n / 1000 }'
  }
  nginx_worker=$(pgrep -P "$nginx_pid" | head -1)
  cpu_ours=$(cpu_per_request "$service_pid" "$service_socket" "$work/get1k.http")
  cpu_nginx=$(cpu_per_request "$nginx_worker" "$nginx_socket" "$work/get1k.http")
  cpu_minimal=$(cpu_per_request "$minimal_pid" "$minimal_socket" "$work/get1k.http")
  cpu_soap=$(cpu_per_request "$service_pid" "$service_socket" "$work/read.http")
  cpu_info=$(cpu_per_request "$service_pid" "$service_socket" "$work/info.http")

  syscalls_ours=$(syscalls_per_request "$service_pid" "$service_socket" "$work/get1k.http")
  syscalls_minimal=$(syscalls_per_request "$minimal_pid" "$minimal_socket" "$work/get1k.http")
  syscalls_100k=$(syscalls_per_request "$service_pid" "$service_socket" "$work/get100k.http")
  syscalls_soap=$(syscalls_per_request "$service_pid" "$service_socket" "$work/read.http")
  syscalls_info=$(syscalls_per_request "$service_pid" "$service_socket" "$work/info.http")

  # Memory: one million requests of all four kinds and of many distinct small files in turn (the
  # file cache stays full and keeps replacing entries), RSS sampled after every step.
  rss_warm=$(rss_kib)
  samples=()
  done_requests=0
  while [ "$done_requests" -lt "$memory_requests" ]; do
    step=$memory_step
    if [ $((done_requests + step)) -gt "$memory_requests" ]; then step=$((memory_requests - done_requests)); fi
    if ! "$kvload" -q -s "$service_socket" -n "$step" -c "$concurrency" \
        -f "$work/get1k.http" -f "$work/read.http" -f "$work/info.http" -f "$work/get100k.http" \
        "${many_requests[@]}" >/dev/null; then
      echo "bench: failed requests in the memory run after $done_requests requests" >&2
      exit 1
    fi
    done_requests=$((done_requests + step))
    samples+=("$(rss_kib)")
  done
  rss_first=${samples[0]}
  rss_last=${samples[${#samples[@]}-1]}
  rss_max=$rss_first
  for s in "${samples[@]}"; do
    if [ "$s" -gt "$rss_max" ]; then rss_max=$s; fi
  done
  rss_growth=$((rss_last - rss_first))

  mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
  echo
  echo "KvIxoWebService benchmark: $(nproc) cores, $(awk '/^MemTotal:/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), concurrency $concurrency, best of $rounds rounds"
  echo "load average before the summary: $(cut -d' ' -f1-3 /proc/loadavg)"
  printf '%-22s %12s %12s %12s %12s %12s\n' "" "ours req/s" "nginx req/s" "minimal" "ours/nginx" "ours/minimal"
  printf '%-22s %12s %12s %12s %12s %12s\n' "1 KiB file" "$ours_1k" "$nginx_1k" "$minimal_1k" \
    "$(ratio "$ours_1k" "$nginx_1k")" "$(ratio "$ours_1k" "$minimal_1k")"
  printf '%-22s %12s %12s %12s %12s\n' "100 KiB file" "$ours_100k" "$nginx_100k" "" "$(ratio "$ours_100k" "$nginx_100k")"
  printf '%-22s %12s %12s %12s\n' "" "ours req/s" "/ ours 1 KiB" "/ minimal"
  printf '%-22s %12s %12s %12s\n' "SOAP Read, 8 bytes" "$soap_read" "$(ratio "$soap_read" "$ours_1k")" \
    "$(ratio "$soap_read" "$minimal_1k")"
  printf '%-22s %12s %12s %12s\n' "information page" "$info_page" "$(ratio "$info_page" "$ours_1k")" \
    "$(ratio "$info_page" "$minimal_1k")"
  echo "nginx: open_file_cache max=1000 inactive=60s, open_file_cache_valid 60s, sendfile on"
  echo "server CPU us per request: 1 KiB ours $cpu_ours, nginx $cpu_nginx, minimal $cpu_minimal; SOAP Read $cpu_soap; information page $cpu_info"
  echo "system calls per 1 KiB request, ours:    $syscalls_ours"
  echo "system calls per 1 KiB request, minimal: $syscalls_minimal"
  echo "system calls per request, ours: 100 KiB $syscalls_100k"
  echo "                                 SOAP Read $syscalls_soap"
  echo "                                 information page $syscalls_info"
  echo "RSS: idle $(mib "$rss_idle"), after warm-up $(mib "$rss_warm"), after $memory_step $(mib "$rss_first"), after $memory_requests $(mib "$rss_last") (peak $(mib "$rss_max"), growth $rss_growth KiB)"
  echo "RSS samples (KiB, every $memory_step requests): ${samples[*]}"

  missed=0
  # target NAME DETAIL COMMAND...: reports whether COMMAND succeeds.
  target() {
    local name="$1" detail="$2"
    shift 2
    if "$@"; then
      echo "target met:    $name ($detail)"
    else
      echo "target MISSED: $name ($detail)"
      missed=1
    fi
  }
  at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }
  target "1 KiB file >= 1.0 x nginx" "$(ratio "$ours_1k" "$nginx_1k") x" at_least "$(ratio "$ours_1k" "$nginx_1k")" 1.0
  target "1 KiB file >= 0.9 x minimal server" "$(ratio "$ours_1k" "$minimal_1k") x" \
    at_least "$(ratio "$ours_1k" "$minimal_1k")" 0.9
  target "100 KiB file >= 1.0 x nginx" "$(ratio "$ours_100k" "$nginx_100k") x" \
    at_least "$(ratio "$ours_100k" "$nginx_100k")" 1.0
  # SOAP Read and the information page have no anchor in the same run: whether they got slower is
  # seen by comparing their rates, CPU time and system calls with a run of the previous binary
  # (SERVER=...).
  target "RSS < $(mib "$rss_limit_kib")" "peak $(mib "$rss_max")" [ "$rss_max" -lt "$rss_limit_kib" ]
  target "RSS flat over $memory_requests requests" \
    "growth $rss_growth KiB after the first $memory_step, limit $rss_growth_kib KiB" [ "$rss_growth" -le "$rss_growth_kib" ]
  if [ -s "$work/nginx-error.log" ] && grep -q '\[\(error\|crit\|alert\|emerg\)\]' "$work/nginx-error.log"; then
    echo "bench: nginx reported errors:" >&2
    grep '\[\(error\|crit\|alert\|emerg\)\]' "$work/nginx-error.log" | head -5 >&2
  fi
  exit $((missed * 2))
fi

# ---------------------------------------------------------------------------------------------
# First stage: build, prepare, then enter the private mount namespace.
if [ "$(id -u)" -ne 0 ]; then
  echo "bench: run as root (needs a private mount namespace and the group www)" >&2
  exit 1
fi
if ! command -v nginx >/dev/null; then
  "$top/scripts/setup.sh"
fi

if ! command -v strace >/dev/null; then
  "$top/scripts/setup.sh"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_SANITIZE=OFF >/dev/null
targets=(kvload minimal_server)
if [ -z "${SERVER:-}" ]; then targets+=(IxoWebServerBSD); fi
cmake --build "$build" --target "${targets[@]}" -j2 >/dev/null
if [ ! -x "$server" ]; then
  echo "bench: no service binary at $server" >&2
  exit 1
fi

work="$(mktemp -d /tmp/kvbench.XXXXXX)"
chmod 0755 "$work"
created_group=0
cleanup() {
  if [ "$created_group" -eq 1 ]; then
    groupdel www 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! getent group www >/dev/null; then
  groupadd --system www
  created_group=1
fi

# The second stage runs in the background so that a signal here can be passed on: unshare itself
# ignores INT and TERM, so TERM goes to the stage inside, whose exit trap stops both servers.
KV_BENCH_STAGE=inside KV_BENCH_WORK="$work" \
  unshare --mount --propagation private --fork --kill-child=TERM "$0" &
inside_pid=$!
interrupted=0
pass_on() {
  interrupted=1
  if [ -s "$work/inside.pid" ]; then kill -TERM "$(cat "$work/inside.pid")" 2>/dev/null || true; fi
}
trap pass_on INT TERM
status=0
wait "$inside_pid" || status=$?
if [ "$interrupted" -eq 1 ]; then
  wait "$inside_pid" 2>/dev/null || true
  echo "bench: interrupted" >&2
  exit 130
fi
exit "$status"
