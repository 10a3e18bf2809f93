#!/usr/bin/env bash
# Download benchmark: a 64 MiB image queried, downloaded, verified (MD5) and
# saved durably by brickfix's download path, against its peers in the same
# run: `curl -o FILE URL && md5sum FILE`, and the same followed by
# `sync FILE` (our save is durable, theirs is not). nginx serves the query
# answer and the image over HTTPS on 127.0.0.1, far faster than any client:
# the server's share of a core is measured for every timed command, and no
# ratio is reported when it goes above 90 %.
#
# Usage: bench/download.sh [BUILD_DIR] [RUNS] [WINDOWS_BUILD_DIR]
# BRICKFIX_BENCH_CLIENT replaces our client: it is given the query address,
# runs in a folder whose "Rom" it fills, and prints what
# brickfix_download_bench prints.
# With WINDOWS_BUILD_DIR (scripts/build-windows.sh), the Windows program's
# download (its brickfix_download_bench.exe) runs under Wine as one more row,
# in a throw-away prefix; Wine trusts the test CA in a private mount
# namespace (needs root). Its time in-process leaves out Wine's start-up.
# Beside it, the HTTP client alone under Wine (the body dropped) shows what
# Wine's WinHTTP allows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-7}
winbuild=${3:-}
size=$((64 << 20))
max_server_share=90

cloud_bin=$build/tools/cloud/brickfix-cloud
bench_bin=$build/bench/brickfix_download_bench
for bin in "$cloud_bin" "$bench_bin"; do
  [ -x "$bin" ] || { echo "missing $bin: build first (scripts/build.sh $build)" >&2; exit 1; }
done
for tool in nginx curl md5sum; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 1; }
done
cloud_bin=$(realpath "$cloud_bin")
read -r -a client <<< "${BRICKFIX_BENCH_CLIENT:-$(realpath "$bench_bin")}"
wine=
if [ -n "$winbuild" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    if [ -z "$wine" ] && [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; fi
  done
  winbench=$(realpath "$winbuild/brickfix_download_bench.exe" 2>/dev/null || true)
  [ -n "$wine" ] && [ -f "$winbench" ] || { echo "the Windows row needs wine64 and $winbuild/brickfix_download_bench.exe" >&2; exit 1; }
  unshare -m --propagation private true 2>/dev/null || { echo "the Windows row needs root (a private mount namespace)" >&2; exit 1; }
fi

work=$(mktemp -d)
chmod 755 "$work"  # nginx's workers may run as another user
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null; fi
  if [ -n "$wine" ]; then WINEPREFIX=$work/prefix "$(dirname "$wine")/wineserver" -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

"$cloud_bin" --make-certs "$work/certs" --host 127.0.0.1 > /dev/null
mkdir -p "$work/www/api" "$work/www/images/RX2001" "$work/ours" "$work/peer" "$work/nginx"
head -c "$size" /dev/urandom > "$work/www/images/RX2001/fw.bin"
md5=$(md5sum < "$work/www/images/RX2001/fw.bin" | cut -d' ' -f1)
chmod -R a+rX "$work/www"

# nginx takes no port 0: try a few until one is free.
for _ in $(seq 20); do
  port=$((20000 + RANDOM % 30000))
  cat > "$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/certs/server.pem;
    ssl_certificate_key $work/certs/server-key.pem;
    root $work/www;
    location = /api/latest_rom {
      default_type application/json;
      try_files /api/latest_rom.json =404;
    }
  }
}
EOF
  query="https://127.0.0.1:$port/api/latest_rom?model=RX2001"
  image="https://127.0.0.1:$port/images/RX2001/fw.bin"
  printf '{"model":"RX2001","version":"9.9","md5":"%s","url":"%s","level":0,"size":%d}\n' \
    "$md5" "$image" "$size" > "$work/www/api/latest_rom.json"
  nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx.conf" &
  nginx_pid=$!
  for _ in $(seq 50); do
    curl -sf --cacert "$work/certs/ca.pem" -o /dev/null "$query" && break
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$nginx_pid" 2>/dev/null && break
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
done
[ -n "$nginx_pid" ] || { echo "nginx did not start:" >&2; cat "$work/nginx/error.log" >&2; exit 1; }
server_pids="$nginx_pid $(pgrep -P "$nginx_pid" | tr '\n' ' ')"
export SSL_CERT_FILE=$work/certs/ca.pem no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

# The Windows row: Wine reads the trusted certificates from the system's
# bundle, so it runs where that bundle also holds the test CA.
trusted() {
  unshare -m --propagation private sh -c 'mount --bind "$1" /etc/ssl/certs/ca-certificates.crt && shift && exec "$@"' \
    trusted "$work/ca-bundle.crt" "$@"
}
if [ -n "$wine" ]; then
  cat /etc/ssl/certs/ca-certificates.crt "$work/certs/ca.pem" > "$work/ca-bundle.crt"
  mkdir -p "$work/win"
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
  trusted "$wine" wineboot -i >/dev/null 2>&1
  "$(dirname "$wine")/wineserver" -p 2>/dev/null || true  # kept running: no start-up per run
fi

tick=$(getconf CLK_TCK)
server_ticks() {
  local total=0 pid
  for pid in $server_pids; do
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }')))
  done
  echo "$total"
}

# Runs one timed command in a clean state; sets `secs` and `share` (the
# server's CPU time over the command's wall time, in % of one core).
timed() {
  rm -rf "$work/ours/Rom" "$work/win/Rom" "$work/peer/fw.bin"
  sync
  local t0 t1 c0 c1
  c0=$(server_ticks)
  t0=$(date +%s%N)
  "$@"
  t1=$(date +%s%N)
  c1=$(server_ticks)
  secs=$(awk -v ns=$((t1 - t0)) 'BEGIN { printf "%.3f", ns / 1e9 }')
  share=$(awk -v c=$((c1 - c0)) -v hz="$tick" -v ns=$((t1 - t0)) 'BEGIN { printf "%.0f", 100 * c / hz / (ns / 1e9) }')
}

ours() { (cd "$work/ours" && "${client[@]}" "$query") > "$work/ours.out"; }
windows() { (cd "$work/win" && trusted "$wine" "$winbench" "$query") > "$work/win.out" 2> "$work/win.err"; }
winhttp() { trusted "$wine" "$winbench" --http-only "$image" > "$work/winhttp.out"; }
peer() {
  (cd "$work/peer" && curl -s --cacert "$SSL_CERT_FILE" -o fw.bin "$image" && md5sum fw.bin > ../peer.md5)
}
peer_sync() { peer && sync "$work/peer/fw.bin"; }
check_peer() { [ "$(cut -d' ' -f1 "$work/peer.md5")" = "$md5" ] || { echo "curl got a wrong image" >&2; exit 1; }; }

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
ours_t=() peer_t=() sync_t=() win_t=() win_in=() http_in=() peak=0 base=0 worst_share=0
commands=3
[ -n "$wine" ] && commands=4
for i in $(seq "$runs"); do
  # Each run starts with another of the commands.
  w_secs=- w_inner=- w_share=- h_inner=-
  for k in $(seq 0 $((commands - 1))); do
    case $(( (i + k) % commands )) in
      0)
        timed ours
        read -r inner hwm before got < "$work/ours.out"
        [ "$got" = "$size" ] && [ "$(md5sum < "$work/ours/Rom/RX2001-9.9" | cut -d' ' -f1)" = "$md5" ] ||
          { echo "brickfix did not store the image" >&2; exit 1; }
        ours_t+=("$secs") o_secs=$secs o_share=$share
        [ "$hwm" -gt "$peak" ] && peak=$hwm base=$before
        ;;
      1) timed peer; check_peer; peer_t+=("$secs") p_secs=$secs p_share=$share ;;
      2) timed peer_sync; check_peer; sync_t+=("$secs") s_secs=$secs s_share=$share ;;
      3)
        timed windows
        read -r w_inner _ _ got < <(tr -d '\r' < "$work/win.out")  # Windows line ends
        [ "$got" = "$size" ] && [ "$(md5sum < "$work/win/Rom/RX2001-9.9" | cut -d' ' -f1)" = "$md5" ] ||
          { echo "the Windows program did not store the image" >&2; cat "$work/win.err" >&2; exit 1; }
        win_t+=("$secs") win_in+=("$w_inner") w_secs=$secs w_share=$share
        [ "$share" -gt "$worst_share" ] && worst_share=$share
        timed winhttp
        read -r h_inner got < <(tr -d '\r' < "$work/winhttp.out")
        [ "$got" = "$size" ] || { echo "WinHTTP under Wine did not get the image" >&2; exit 1; }
        http_in+=("$h_inner")
        ;;
    esac
    [ "$share" -gt "$worst_share" ] && worst_share=$share
  done
  printf 'run %d: brickfix %s s (in-process %s s, peak %d MiB), curl+md5sum %s s, +sync %s s; server %s/%s/%s %% of a core\n' \
    "$i" "$o_secs" "$inner" $((hwm / 1024)) "$p_secs" "$s_secs" "$o_share" "$p_share" "$s_share"
  [ -n "$wine" ] && printf '       Windows program under Wine %s s (in-process %s s; WinHTTP alone %s s); server %s %% of a core\n' \
    "$w_secs" "$w_inner" "$h_inner" "$w_share"
done

best() { printf '%s\n' "$@" | sort -g | head -1; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ob=$(best "${ours_t[@]}") om=$(median "${ours_t[@]}")
pb=$(best "${peer_t[@]}") pm=$(median "${peer_t[@]}")
sb=$(best "${sync_t[@]}") sm=$(median "${sync_t[@]}")
echo "image: $((size >> 20)) MiB, $runs runs"
echo "brickfix (query + download + MD5 + durable save): best $ob s, median $om s"
echo "curl -o + md5sum:                                 best $pb s, median $pm s"
echo "curl -o + md5sum + sync:                          best $sb s, median $sm s"
if [ -n "$wine" ]; then
  wb=$(best "${win_in[@]}") wm=$(median "${win_in[@]}")
  echo "Windows program under Wine (in-process):          best $wb s, median $wm s" \
    "(with Wine's start-up: best $(best "${win_t[@]}") s, median $(median "${win_t[@]}") s)"
  echo "WinHTTP alone under Wine (body dropped):          best $(best "${http_in[@]}") s, median $(median "${http_in[@]}") s"
fi
echo "server: at most $worst_share % of a core during a timed command"
awk -v p="$peak" -v b="$base" -v s="$size" 'BEGIN {
  printf "peak memory: %.1f MiB, %.1f MiB before the query (goal: at most %d MiB, the image plus 16 MiB)\n",
    p / 1024, b / 1024, s / 1048576 + 16 }'
if [ "$worst_share" -gt "$max_server_share" ]; then
  echo "the server used more than $max_server_share % of a core: it may be what limits; no ratio reported" >&2
  exit 1
fi
awk -v o="$ob" -v p="$pb" -v s="$sb" -v om="$om" -v pm="$pm" -v sm="$sm" 'BEGIN {
  printf "ratio to curl + md5sum:        best %.2f, median %.2f (goal: at most 1.20)\n", o / p, om / pm
  printf "ratio to curl + md5sum + sync: best %.2f, median %.2f (goal: at most 1.00)\n", o / s, om / sm }'
if [ -n "$wine" ]; then
  awk -v w="$wb" -v p="$pb" -v s="$sb" -v wm="$wm" -v pm="$pm" -v sm="$sm" 'BEGIN {
    printf "Windows program under Wine, in-process, to curl + md5sum: best %.2f, median %.2f; to curl + md5sum + sync: best %.2f, median %.2f\n", w / p, wm / pm, w / s, wm / sm }'
fi
