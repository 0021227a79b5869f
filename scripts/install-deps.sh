#!/usr/bin/env bash
# Installs every Debian package needed to build, test, benchmark and fuzz the
# project. Idempotent; run as root (or through sudo) on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  ccache  # a second build of the same sources (another checkout too) compiles nothing twice
  clang libclang-rt-14-dev
  libssl-dev openssl libcurl4-openssl-dev
  nlohmann-json3-dev libspdlog-dev libfmt-dev libasio-dev libfast-float-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libcli11-dev
  curl
  haproxy  # the scale-out test: routers behind a load balancer
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
echo "dependencies: all ${#packages[@]} packages present"
