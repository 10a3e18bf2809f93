#!/usr/bin/env bash
# TFTP throughput: tftp-hpa's client fetches a 16 MiB image from our server,
# from tftpd-hpa and from dnsmasq's TFTP, and the script prints blocks per
# second for each and our ratio to the faster of the two. The servers run in a
# "server" network namespace at 192.168.1.88, the client in a "router"
# namespace at 192.168.1.1, joined by a veth pair; both are made for the run.
# Our server runs twice: as the program serves, and with the observer
# watching the link as in a run, its frames from the network helper's
# capture (the program's own helper, forked as in a run without a helper
# program), which runs while the wizard waits, until the first request; the
# observer may cost at most 5 %.
# Server and client are pinned: first both to processor 0, then to processors
# 0 and 1, because where the scheduler puts them changes the result more than
# the server does (a wake-up on another processor is slow on virtual
# machines). When the Windows build and Wine are there, the Windows program's
# server runs under Wine in the same place as a fourth row, compared with the
# Linux program. Needs root. Run by hand:
#   ./scripts/build.sh build && ./scripts/build-windows.sh build-windows &&
#   sudo bench/tftp.sh [build-dir] [runs] [windows-build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
winbuild=$(realpath -m "${3:-build-windows}")
server="$build/bench/tftp_bench_server"
[ -x "$server" ] || { echo "build $server first" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (it creates a network namespace)" >&2; exit 1; }
wine=
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -z "$wine" ] && [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; fi
done
servers=(brickfix brickfix-observed tftpd-hpa dnsmasq)
if [ -n "$wine" ] && [ -f "$winbuild/tftp_bench_server.exe" ] && [ -f "$winbuild/tftp_floor_client.exe" ]; then
  servers+=(brickfix-wine)
else
  echo "no Windows row: needs wine64 and $winbuild/tftp_bench_server.exe (scripts/build-windows.sh)"
fi

ns="bfbench-srv-$$"
client="bfbench-cli-$$"
work=$(mktemp -d /dev/shm/bfbench.XXXXXX)
pid=
stop_server() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=; fi
}
cleanup() {
  stop_server
  if [ -n "${WINEPREFIX:-}" ]; then
    "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
    WINEPREFIX=$client_prefix "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$client_prefix"
  fi
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

# The Wine prefix of the Windows row: a copy of the end-to-end scenarios' one.
if [[ " ${servers[*]} " == *" brickfix-wine "* ]]; then
  # One prefix (and wineserver) per namespace; beside the template for hard links.
  WINEPREFIX=$(mktemp -u "$winbuild/bench-wineprefix.XXXXXX")
  client_prefix=$WINEPREFIX-client
  export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  python3 - "$winbuild" "$wine" "$WINEPREFIX" "$client_prefix" <<'PY'
import sys
sys.path.insert(0, "tests/e2e")
import wine
template = wine.PrefixTemplate(sys.argv[1], sys.argv[2])
template.ensure()
template.copy(sys.argv[3])
template.copy(sys.argv[4])
PY
fi

wait_port() {
  for _ in $(seq 600); do
    ip netns exec "$ns" ss -Hlun 'sport = :69' | grep -q . && return 0
    sleep 0.05
  done
  echo "no server on port 69" >&2
  cat "$work/wine.log" >&2 2>/dev/null || true
  exit 1
}

start_server() {
  case $1 in
    brickfix) ip netns exec "$ns" taskset -c 0 "$server" "$work/root/recovery.bin" 69 2>/dev/null & ;;
    brickfix-observed)
      ip netns exec "$ns" env TMPDIR="$work" taskset -c 0 "$server" "$work/root/recovery.bin" 69 v0 2>/dev/null &
      ;;
    tftpd-hpa)
      ip netns exec "$ns" taskset -c 0 /usr/sbin/in.tftpd -L -s "$work/root" --address 192.168.1.88:69 &
      ;;
    dnsmasq)
      ip netns exec "$ns" taskset -c 0 dnsmasq --no-daemon --conf-file=/dev/null --port=0 --enable-tftp \
        --tftp-root="$work/root" --user=root --group=root --pid-file= --interface=v0 \
        --bind-interfaces 2>/dev/null &
      ;;
    brickfix-wine)
      ip netns exec "$ns" taskset -c 0 "$wine" "$winbuild/tftp_bench_server.exe" \
        "Z:${work//\//\\}\\root\\recovery.bin" 69 2>"$work/wine.log" &
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
  declare -A best=([brickfix]=0 [brickfix-observed]=0 [tftpd-hpa]=0 [dnsmasq]=0 [brickfix-wine]=0)
  for _ in $(seq "$runs"); do
    for name in "${servers[@]}"; do
      start_server "$name"
      rate=$(fetch_rate "$name" "$cpu")
      stop_server
      [ "$rate" -gt "${best[$name]}" ] && best[$name]=$rate
    done
  done
  echo "$title:"
  for name in "${servers[@]}"; do printf '  %-17s %8d blocks/s\n' "$name" "${best[$name]}"; done
  awk -v a="${best[brickfix-observed]}" -v b="${best[brickfix]}" \
    'BEGIN { printf "  the observer costs %.1f %% (goal at most 5 %%)\n", 100 * (1 - a / b) }'
  local faster=$(( best[tftpd-hpa] > best[dnsmasq] ? best[tftpd-hpa] : best[dnsmasq] ))
  awk -v a="${best[brickfix]}" -v b="$faster" \
    'BEGIN { printf "  ratio to the faster peer: %.2fx (goal 1.10x)\n", a / b }'
  if [ "${best[brickfix-wine]}" -gt 0 ]; then
    # Wine's limit: the least Winsock client under Wine fetching from the
    # Linux program; the Windows program's server cannot go faster than that.
    local floor=0
    start_server brickfix
    for _ in $(seq "$runs"); do
      rm -f "$work/floor"
      ip netns exec "$client" taskset -c "$cpu" env WINEPREFIX="$client_prefix" "$wine" \
        "$winbuild/tftp_floor_client.exe" 192.168.1.88 69 >"$work/floor" 2>/dev/null || true
      read -r bytes us <"$work/floor" || true
      us=${us%$'\r'}
      [ "${bytes:-0}" -eq "$size" ] || { echo "the floor client fetched ${bytes:-nothing}" >&2; exit 1; }
      rate=$((blocks * 1000000 / us))
      [ "$rate" -gt "$floor" ] && floor=$rate
    done
    stop_server
    printf '  %-13s %8d blocks/s  (a bare Winsock client under Wine against brickfix)\n' "wine-limit" "$floor"
    awk -v a="${best[brickfix-wine]}" -v b="${best[brickfix]}" -v f="$floor" \
      'BEGIN { printf "  Windows program under Wine to the Linux program: %.2fx (goal 0.50x); to Wine'"'"'s limit: %.2fx\n", a / b, a / f }'
  fi
}

compare 0 "server and client on processor 0"
if [ "$(nproc)" -gt 1 ]; then compare 1 "server on processor 0, client on processor 1"; fi
exit 0
