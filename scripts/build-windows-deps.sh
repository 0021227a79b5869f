#!/usr/bin/env bash
# Builds, for x86_64-w64-mingw32, what Debian does not ship for mingw-w64:
# OpenSSL (libcrypto + libssl), libcurl against that OpenSSL (not Schannel:
# Wine's Schannel accepts any certificate), fmt and spdlog as shared
# libraries (the two DLLs and the program must share one logger registry),
# GoogleTest, and the header-only libraries the build uses. Sources come from
# Debian's source packages. Everything lands in a cache folder outside the
# checkout, keyed by the versions, so a second run reuses it.
#
#   scripts/build-windows-deps.sh          # prints the prefix on its last line
#
# OSSARA_WINDOWS_DEPS overrides the cache folder (default ~/.cache/ossara-windows-deps).
set -euo pipefail

host=x86_64-w64-mingw32
jobs=$(nproc)
here=$(cd "$(dirname "$0")/.." && pwd)

# The versions this script is known to build; the newest the archive offers is
# taken when a pinned one cannot be fetched.
declare -A pinned=(
  [openssl]=3.0.17-1~deb12u2
  [curl]=7.88.1-10+deb12u15
  [fmtlib]=9.1.0+ds1-2
  [spdlog]=1:1.10.0+ds-0.4
  [cpp-httplib]=0.11.4+ds-1+deb12u1
)

# Toolchain and the emulator the tests run under.
tools=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine dpkg-dev xz-utils
       nlohmann-json3-dev libasio-dev libcli11-dev libfast-float-dev googletest cmake ninja-build make perl)
# With Debian's source archive, where `apt-get source` below fetches from.
source "$(dirname "$0")/debian-packages.sh"
ensure_debian_packages --sources "${tools[@]}"

# Resolves each package to a version that can be fetched: the pinned one, or
# else the newest the archive lists.
declare -A version
fetch_dir=$(mktemp -d)
trap 'rm -rf "$fetch_dir"' EXIT
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

key_file=$(mktemp)
for pkg in openssl curl fmtlib spdlog cpp-httplib; do
  v=${pinned[$pkg]}
  echo "$pkg=$v" >>"$key_file"
done
echo "script=$(sha256sum "$0" | cut -c1-16)" >>"$key_file"
key=$(sha256sum "$key_file" | cut -c1-16)
rm -f "$key_file"
cache=${OSSARA_WINDOWS_DEPS:-$HOME/.cache/ossara-windows-deps}
prefix=$cache/$key
if [ -f "$prefix/.complete" ]; then
  echo "windows dependencies: cached"
  echo "$prefix"
  exit 0
fi

rm -rf "$prefix"
mkdir -p "$prefix"
work=$(mktemp -d)
trap 'rm -rf "$fetch_dir" "$work"' EXIT

unpack() {
  local pkg=$1
  fetch "$pkg"
  local dsc
  dsc=$(ls "$fetch_dir"/"${pkg}"_*.dsc | grep -F "$(echo "${version[$pkg]}" | sed 's/^[0-9]*://')" | head -n 1)
  dpkg-source --no-check -x "$dsc" "$work/$pkg" >/dev/null
  echo "$pkg ${version[$pkg]}" >>"$prefix/VERSIONS"
}

toolchain=$here/cmake/mingw-w64-x86_64.cmake
cmake_build() {
  local src=$1
  shift
  cmake -S "$src" -B "$src/_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" "$@" >/dev/null
  cmake --build "$src/_build" -j "$jobs" >/dev/null
  cmake --install "$src/_build" >/dev/null
}

echo "openssl..."
unpack openssl
(cd "$work/openssl" &&
  ./Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
    shared no-tests no-legacy no-engine no-comp no-capieng no-aria no-bf no-camellia no-cast no-idea \
    no-md4 no-mdc2 no-rc2 no-rc4 no-rmd160 no-seed no-sm2 no-sm3 no-sm4 no-whirlpool no-srp no-ts \
    no-dtls no-srtp no-siphash >/dev/null &&
  make -j "$jobs" build_libs >/dev/null &&
  make install_dev install_runtime_libs >/dev/null)

echo "curl..."
unpack curl
cmake_build "$work/curl" -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF -DOPENSSL_ROOT_DIR="$prefix" -DCURL_ZLIB=OFF \
  -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBSSH2=OFF \
  -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DCURL_DISABLE_RTSP=ON -DCURL_DISABLE_DICT=ON \
  -DCURL_DISABLE_TELNET=ON -DCURL_DISABLE_TFTP=ON -DCURL_DISABLE_POP3=ON -DCURL_DISABLE_IMAP=ON \
  -DCURL_DISABLE_SMTP=ON -DCURL_DISABLE_GOPHER=ON -DCURL_DISABLE_MQTT=ON -DCURL_DISABLE_SMB=ON

echo "fmt..."
unpack fmtlib
cmake_build "$work/fmtlib" -DBUILD_SHARED_LIBS=ON -DFMT_TEST=OFF -DFMT_DOC=OFF

echo "spdlog..."
unpack spdlog
cmake_build "$work/spdlog" -DSPDLOG_BUILD_SHARED=ON -DSPDLOG_FMT_EXTERNAL=ON -DSPDLOG_BUILD_EXAMPLE=OFF \
  -DSPDLOG_BUILD_TESTS=OFF -DSPDLOG_BUILD_BENCH=OFF

echo "googletest..."
cp -r /usr/src/googletest "$work/googletest"
cmake_build "$work/googletest" -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF

echo "header-only libraries..."
# cpp-httplib's single header (Debian's own header is the split, compiled form).
unpack cpp-httplib
cp "$work/cpp-httplib/httplib.h" "$prefix/include/"
cp -r /usr/include/nlohmann /usr/include/asio /usr/include/asio.hpp /usr/include/CLI /usr/include/fast_float \
  "$prefix/include/"
mkdir -p "$prefix/share/cmake"
cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

# The C++ runtime DLLs the programs need at run time, beside the others.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  cp "$($host-g++-posix -print-file-name="$dll")" "$prefix/bin/" 2>/dev/null ||
    cp "$(find /usr/lib/gcc/$host /usr/$host -name "$dll" | head -n 1)" "$prefix/bin/"
done

touch "$prefix/.complete"
echo "windows dependencies: built"
echo "$prefix"
