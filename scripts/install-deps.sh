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

source "$(dirname "$0")/debian-packages.sh"
ensure_debian_packages "${packages[@]}"
echo "dependencies: all ${#packages[@]} packages present"
