#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Run as root.
set -euo pipefail

packages=(
  g++ cmake make pkg-config flex bison libboost-dev libssl-dev openssl
  googletest libgtest-dev clang libclang-rt-14-dev
  c-icap squid curl
  clamav-daemon clamav clamdscan   # clamd and sigtool: the tests' private clamd
  libc-icap-mod-virus-scan         # c-icap's virus_scan: the benchmarks' comparison peer
  libsystemd-dev debhelper dpkg-dev fakeroot lintian mandoc groff-base systemd logrotate python3
  prometheus chromium   # monitoring tests: promtool, the status page in a headless browser
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
