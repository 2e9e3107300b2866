#!/usr/bin/env bash
# Installs what the project needs from Debian's packages (only what is missing).
set -euo pipefail
need=()
for pkg in build-essential cmake ninja-build libgtest-dev libbenchmark-dev libcli11-dev \
           libtomlplusplus-dev nlohmann-json3-dev libboost-context-dev libmimalloc-dev python3 chromium \
           g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 xvfb xauth; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
