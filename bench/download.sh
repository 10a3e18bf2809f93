#!/usr/bin/env bash
# Download benchmark: a 64 MiB image downloaded, verified (MD5) and saved by
# brickfix, against `curl -o FILE URL && md5sum FILE`, both from the local
# HTTPS cloud on 127.0.0.1. Prints the best of RUNS for each, the ratio, and
# brickfix's peak memory. Usage: bench/download.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cloud_bin=$build/tools/cloud/brickfix-cloud
bench_bin=$build/bench/brickfix_download_bench
for bin in "$cloud_bin" "$bench_bin"; do
  [ -x "$bin" ] || { echo "missing $bin: build first (scripts/build.sh $build)" >&2; exit 1; }
done
cloud_bin=$(realpath "$cloud_bin")
bench_bin=$(realpath "$bench_bin")

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$cloud_bin" --make-certs "$work/certs" --host 127.0.0.1
mkdir -p "$work/releases/RX2001" "$work/ours" "$work/curl"
head -c $((64 << 20)) /dev/urandom > "$work/releases/RX2001/fw.bin"
echo '{"version": "9.9", "image": "fw.bin"}' > "$work/releases/RX2001/release.json"

"$cloud_bin" --releases "$work/releases" --cert "$work/certs/server.pem" \
  --key "$work/certs/server-key.pem" --port 0 > "$work/server.out" &
server=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" && break; sleep 0.1; done
port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")
[ -n "$port" ] || { echo "the local cloud did not start" >&2; exit 1; }
query="https://127.0.0.1:$port/api/latest_rom?model=RX2001"
image="https://127.0.0.1:$port/images/RX2001/fw.bin"
export SSL_CERT_FILE=$work/certs/ca.pem no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

ours_times= curl_times= peak=0
for i in $(seq "$runs"); do
  read -r secs rss size < <(cd "$work/ours" && "$bench_bin" "$query")
  start=$(date +%s%N)
  curl -s --cacert "$SSL_CERT_FILE" -o "$work/curl/fw.bin" "$image" && md5sum "$work/curl/fw.bin" > /dev/null
  end=$(date +%s%N)
  curl_secs=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
  echo "run $i: brickfix $secs s (peak $((rss / 1024)) MiB), curl+md5sum $curl_secs s"
  ours_times="$ours_times $secs"
  curl_times="$curl_times $curl_secs"
  [ "$rss" -gt "$peak" ] && peak=$rss
done
min() { tr ' ' '\n' | awk 'NF && (min == "" || $1 < min) { min = $1 } END { print min }'; }
ours=$(echo "$ours_times" | min)
curl_best=$(echo "$curl_times" | min)
echo "image: $((size >> 20)) MiB"
echo "best brickfix (download + MD5 + save): $ours s"
echo "best curl -o + md5sum:                 $curl_best s"
awk -v a="$ours" -v b="$curl_best" 'BEGIN { printf "ratio: %.2f (goal: at most 1.20)\n", a / b }'
awk -v p="$peak" -v s="$size" 'BEGIN {
  printf "peak memory: %d MiB (goal: at most %d MiB, the image plus 32 MiB)\n", p / 1024, s / 1048576 + 32 }'
