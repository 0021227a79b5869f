#!/usr/bin/env bash
# Builds, with clang 16 against LLVM's C++ library (libc++ 16, the library
# Apple's toolchain ships), the dependencies that carry C++ types across their
# interface: fmt and spdlog as shared libraries (the two libraries and the
# program share one logger registry, as with Debian's), GoogleTest and Google
# Benchmark; and cpp-httplib's single header (Debian's own is a compiled
# library). OpenSSL and curl are C and come from Debian. Sources come from
# Debian's source packages (GoogleTest from /usr/src/googletest). Everything
# lands in a cache folder outside the checkout, keyed by the versions, so a
# second run reuses it.
#
#   scripts/build-libcxx-deps.sh          # prints the prefix on its last line
#
# OSSARA_LIBCXX_DEPS overrides the cache folder (default ~/.cache/ossara-libcxx-deps).
set -euo pipefail

jobs=$(nproc)

# The versions this script is known to build; the newest the archive offers is
# taken when a pinned one cannot be fetched.
declare -A pinned=(
  [fmtlib]=9.1.0+ds1-2
  [spdlog]=1:1.10.0+ds-0.4
  [benchmark]=1.7.1-1
  [cpp-httplib]=0.11.4+ds-1+deb12u1
)

tools=(clang-16 libc++-16-dev libc++abi-16-dev dpkg-dev googletest cmake ninja-build)
# With Debian's source archive, where `apt-get source` below fetches from.
source "$(dirname "$0")/debian-packages.sh"
ensure_debian_packages --sources "${tools[@]}"

key_file=$(mktemp)
for pkg in fmtlib spdlog benchmark cpp-httplib; do
  echo "$pkg=${pinned[$pkg]}" >>"$key_file"
done
echo "googletest=$(dpkg-query -W -f='${Version}' googletest)" >>"$key_file"
echo "clang=$(clang++-16 --version | head -n 1)" >>"$key_file"
echo "script=$(sha256sum "$0" | cut -c1-16)" >>"$key_file"
key=$(sha256sum "$key_file" | cut -c1-16)
rm -f "$key_file"
cache=${OSSARA_LIBCXX_DEPS:-$HOME/.cache/ossara-libcxx-deps}
prefix=$cache/$key
if [ -f "$prefix/.complete" ]; then
  echo "libc++ dependencies: cached"
  echo "$prefix"
  exit 0
fi

rm -rf "$prefix"
mkdir -p "$prefix"
fetch_dir=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$fetch_dir" "$work"' EXIT

# Resolves each package to a version that can be fetched: the pinned one, or
# else the newest the archive lists.
declare -A version
fetch() {
  local pkg=$1 v
  for v in "${pinned[$pkg]}" $(apt-cache showsrc "$pkg" | sed -n 's/^Version: //p' | sort -rV); do
    if (cd "$fetch_dir" && apt-get source --download-only "$pkg=$v" >/dev/null 2>&1); then
      version[$pkg]=$v
      return 0
    fi
  done
  echo "cannot fetch the source of $pkg" >&2
  return 1
}

unpack() {
  local pkg=$1
  fetch "$pkg"
  local dsc
  dsc=$(ls "$fetch_dir"/"${pkg}"_*.dsc | grep -F "$(echo "${version[$pkg]}" | sed 's/^[0-9]*://')" | head -n 1)
  dpkg-source --no-check -x "$dsc" "$work/$pkg" >/dev/null
  echo "$pkg ${version[$pkg]}" >>"$prefix/VERSIONS"
}

cmake_build() {
  local src=$1
  shift
  cmake -S "$src" -B "$src/_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_SHARED_LINKER_FLAGS=-stdlib=libc++ \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "$@" >/dev/null
  cmake --build "$src/_build" -j "$jobs" >/dev/null
  cmake --install "$src/_build" >/dev/null
}

echo "fmt..."
unpack fmtlib
cmake_build "$work/fmtlib" -DBUILD_SHARED_LIBS=ON -DFMT_TEST=OFF -DFMT_DOC=OFF

echo "spdlog..."
unpack spdlog
cmake_build "$work/spdlog" -DSPDLOG_BUILD_SHARED=ON -DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_BUILD_EXAMPLE=OFF \
  -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_BUILD_BENCH=OFF

echo "googletest..."
cp -r /usr/src/googletest "$work/googletest"
cmake_build "$work/googletest" -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON

echo "benchmark..."
unpack benchmark
# Its version comes from git tags, which a source package has not.
cmake_build "$work/benchmark" -DBUILD_SHARED_LIBS=OFF -DGIT_VERSION="$(echo "${version[benchmark]}" | sed 's/-[^-]*$//')" \
  -DBENCHMARK_ENABLE_TESTING=OFF \
  -DBENCHMARK_ENABLE_GTEST_TESTS=OFF -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_ENABLE_LTO=OFF

echo "cpp-httplib..."
# The single header; Debian's /usr/include/httplib.h is the compiled library's.
unpack cpp-httplib
cp "$work/cpp-httplib/httplib.h" "$prefix/include/"

touch "$prefix/.complete"
echo "libc++ dependencies: built"
echo "$prefix"
