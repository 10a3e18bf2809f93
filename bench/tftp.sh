#!/usr/bin/env bash
# TFTP throughput: tftp-hpa's client fetches a 16 MiB image from our server,
# from tftpd-hpa and from dnsmasq's TFTP, and the script prints blocks per
# second for each and our ratio to the faster of the two. The servers run in a
# "server" network namespace at 192.168.1.88, the client in a "router"
# namespace at 192.168.1.1, joined by a veth pair; both are made for the run.
# Server and client are pinned: first both to processor 0, then to processors
# 0 and 1, because where the scheduler puts them changes the result more than
# the server does (a wake-up on another processor is slow on virtual
# machines). Needs root. Run by hand:
#   ./scripts/build.sh build && sudo bench/tftp.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
server="$build/bench/tftp_bench_server"
[ -x "$server" ] || { echo "build $server first" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (it creates a network namespace)" >&2; exit 1; }

ns="bfbench-srv-$$"
client="bfbench-cli-$$"
work=$(mktemp -d /dev/shm/bfbench.XXXXXX)
pid=
stop_server() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=; fi
}
cleanup() {
  stop_server
  ip netns del "$ns" 2>/dev/null || true
  ip netns del "$client" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip netns add "$client"
ip -n "$ns" link add v0 type veth peer name v1 netns "$client"
ip -n "$ns" addr add 192.168.1.88/24 dev v0
ip -n "$client" addr add 192.168.1.1/24 dev v1
for n in "$ns" "$client"; do ip -n "$n" link set lo up; done
ip -n "$ns" link set v0 up
ip -n "$client" link set v1 up

size=$((16 * 1024 * 1024))
blocks=$((size / 512 + 1))
mkdir -p "$work/root"
head -c "$size" /dev/urandom >"$work/root/recovery.bin"
chmod 755 "$work" "$work/root"
chmod 644 "$work/root/recovery.bin"

wait_port() {
  for _ in $(seq 100); do
    ip netns exec "$ns" ss -Hlun 'sport = :69' | grep -q . && return 0
    sleep 0.05
  done
  echo "no server on port 69" >&2
  exit 1
}

start_server() {
  case $1 in
    brickfix) ip netns exec "$ns" taskset -c 0 "$server" "$work/root/recovery.bin" 69 2>/dev/null & ;;
    tftpd-hpa)
      ip netns exec "$ns" taskset -c 0 /usr/sbin/in.tftpd -L -s "$work/root" --address 192.168.1.88:69 &
      ;;
    dnsmasq)
      ip netns exec "$ns" taskset -c 0 dnsmasq --no-daemon --conf-file=/dev/null --port=0 --enable-tftp \
        --tftp-root="$work/root" --user=root --group=root --pid-file= --interface=v0 \
        --bind-interfaces 2>/dev/null &
      ;;
  esac
  pid=$!
  wait_port
}

# Blocks per second of one fetch by a client on processor $2; the fetched
# file must equal the image.
fetch_rate() {
  rm -f "$work/out"
  local t0 t1
  t0=$(date +%s%N)
  ip netns exec "$client" taskset -c "$2" tftp -4 -m binary 192.168.1.88 69 -c get recovery.bin "$work/out" >/dev/null 2>&1 || true
  t1=$(date +%s%N)
  cmp -s "$work/out" "$work/root/recovery.bin" || { echo "$1: the fetched file differs" >&2; exit 1; }
  echo $((blocks * 1000000000 / (t1 - t0)))
}

# The servers take turns, one fetch each per round, so that a burst of other
# load on the machine does not fall on one of them only; the best round counts.
compare() {
  local cpu=$1 title=$2 name rate
  declare -A best=([brickfix]=0 [tftpd-hpa]=0 [dnsmasq]=0)
  for _ in $(seq "$runs"); do
    for name in brickfix tftpd-hpa dnsmasq; do
      start_server "$name"
      rate=$(fetch_rate "$name" "$cpu")
      stop_server
      [ "$rate" -gt "${best[$name]}" ] && best[$name]=$rate
    done
  done
  echo "$title:"
  for name in brickfix tftpd-hpa dnsmasq; do printf '  %-10s %8d blocks/s\n' "$name" "${best[$name]}"; done
  local faster=$(( best[tftpd-hpa] > best[dnsmasq] ? best[tftpd-hpa] : best[dnsmasq] ))
  awk -v a="${best[brickfix]}" -v b="$faster" \
    'BEGIN { printf "  ratio to the faster peer: %.2fx (goal 1.10x)\n", a / b }'
}

compare 0 "server and client on processor 0"
if [ "$(nproc)" -gt 1 ]; then compare 1 "server on processor 0, client on processor 1"; fi
exit 0
