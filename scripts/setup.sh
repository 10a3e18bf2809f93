#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and demo.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
PACKAGES=(
  build-essential cmake ninja-build pkg-config git file ccache
  libgtest-dev libgmock-dev googletest
  libcurl4-openssl-dev libjsoncpp-dev libssl-dev openssl ca-certificates
  dpkg-dev groff-base passwd
  libncurses-dev libnl-3-dev libnl-route-3-dev libcap2-bin libarchive-dev
  libcpp-httplib-dev
  clang libclang-rt-14-dev
  tmux iproute2 iputils-ping python3 tshark nftables
  tftp-hpa atftp busybox curl tftpd-hpa dnsmasq-base isc-dhcp-client
  qt6-base-dev fonts-wqy-zenhei xvfb xauth imagemagick openbox xdotool
  u-boot-qemu qemu-system-arm network-manager linux-perf
  g++-mingw-w64-x86-64-posix wine64 nlohmann-json3-dev nsis libz-mingw-w64-dev unzip
  nginx-light
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  # Packages that ship a service (tftpd-hpa, nginx) must not start it on this
  # machine: it would take UDP port 69 or TCP port 80. A policy-rc.d that is
  # already there (container images ship one) is left as it is; ours is
  # removed again, also on failure.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  # tshark reads the capture back in a test; nobody else needs to capture,
  # so dumpcap stays an ordinary program (no setuid, no capabilities).
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  # NetworkManager is installed for the tests, which run their own copies in
  # namespaces; the machine's own network stays as it is. nginx serves the
  # download benchmark from a configuration of its own, never as a service.
  if command -v systemctl >/dev/null; then
    $SUDO systemctl disable NetworkManager.service NetworkManager-dispatcher.service \
      NetworkManager-wait-online.service nginx.service >/dev/null 2>&1 || true
  fi
fi
exit 0
