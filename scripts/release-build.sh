#!/usr/bin/env bash
# The release build of the libraries and tools, in build/release-hardened:
# the build Debian makes of its own packages (installed under /usr, -O2 with
# the hardening flags of dpkg-buildflags: stack protector, fortified
# functions, full RELRO, PIE), each target's sources compiled in batches
# (unity build).
# The Debian packages (scripts/build-packages.sh) and the main job
# (scripts/run-main-job.sh) are both made from it, so a machine that runs
# both compiles the sources once.
#
#   ./scripts/release-build.sh [TARGET...]   # default: everything
#
# Expects the dependencies installed (scripts/install-deps.sh; its
# build-essential brings dpkg-buildflags). One build at a time: a second
# caller waits for the first, then finds its work done.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release-hardened

# Reproducible dates (the packages' changelog, written when configuring).
if git log -1 --format=%ct >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) -DNDEBUG"
ldflags=$(dpkg-buildflags --get LDFLAGS)

mkdir -p build
exec {lock}>build/release-hardened.lock
flock "$lock"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DOSSARA_BUILD_TESTS=OFF -DOSSARA_BUILD_BENCH=OFF -DOSSARA_BUILD_TOOLS=ON -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >/dev/null
targets=()
[ "$#" -gt 0 ] && targets=(--target "$@")
cmake --build "$build" "${targets[@]}" -j "$(nproc)"
