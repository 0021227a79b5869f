#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks what was installed,
# builds the examples against it with find_package(ossara) and one with
# pkg-config, and runs them against a development router over HTTPS.
#
#   install_and_run_examples.sh BUILD_DIR SOURCE_DIR CXX SANITIZED [CXX_FLAGS [DEPENDENCY_PREFIX]]
#
# CXX_FLAGS and DEPENDENCY_PREFIX are the build's own (-stdlib=libc++ and the
# dependencies built against libc++ in the libcxx configuration): a program
# must use the standard library and the dependencies the installed libraries
# were built with.
set -euo pipefail

build_dir=$1
source_dir=$2
cxx=$3
sanitized=${4:-0}
cxx_flags=${5:-}
dependency_prefix=${6:-}

if [ "$sanitized" = "1" ]; then
  echo "skipped: sanitizer build (its libraries need the sanitizer runtime in every program)"
  exit 77
fi

# $work, removed on exit, and start_dev_router (stopped on exit).
source "$source_dir/scripts/dev-router-session.sh"

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

prefix=$work/prefix
step "install into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

libveilrelay=$(find "$prefix" -name 'libVeilrelay.so.1' | head -n 1)
[ -n "$libveilrelay" ] || fail "libVeilrelay.so.1 not installed"
libdir=$(dirname "$libveilrelay")

step "installed files"
for f in \
  include/ossara/Hushvault.hpp include/ossara/hushvault_bridge.hpp \
  include/ossara/Veilrelay.hpp include/ossara/veilrelay/errors.hpp include/ossara/veilrelay/warnings.hpp \
  bin/veilrelay bin/veilrelay-router bin/veilrelay-dev-router; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
for f in libHushvault.so libHushvault.so.1 libVeilrelay.so libVeilrelay.so.1 \
  cmake/ossara/ossaraConfig.cmake cmake/ossara/ossaraConfigVersion.cmake cmake/ossara/ossaraTargets.cmake \
  pkgconfig/ossara-hushvault.pc pkgconfig/ossara-veilrelay.pc; do
  [ -e "$libdir/$f" ] || fail "missing $libdir/$f"
done

step "SONAMEs and RUNPATH"
# Captured first: grep -q on a pipe could end readelf with SIGPIPE under pipefail.
hushvault_dyn=$(readelf -d "$libdir/libHushvault.so.1")
veilrelay_dyn=$(readelf -d "$libdir/libVeilrelay.so.1")
tool_dyn=$(readelf -d "$prefix/bin/veilrelay")
grep -q 'SONAME.*\[libHushvault\.so\.1\]' <<<"$hushvault_dyn" || fail "SONAME of libHushvault"
grep -q 'SONAME.*\[libVeilrelay\.so\.1\]' <<<"$veilrelay_dyn" || fail "SONAME of libVeilrelay"
grep -E 'R(UN)?PATH' <<<"$veilrelay_dyn" | grep -q '\$ORIGIN' \
  || fail "libVeilrelay does not look for libHushvault beside itself"
if grep -rqs "$build_dir" "$libdir/cmake/ossara" "$libdir/pkgconfig"; then fail "package files name the build tree"; fi
if grep -E 'R(UN)?PATH' <<<"$tool_dyn" | grep -q "$build_dir"; then
  fail "installed veilrelay keeps the build tree's RUNPATH"
fi

router_dyn=$(readelf -d "$prefix/bin/veilrelay-router")
if grep -E 'R(UN)?PATH' <<<"$router_dyn" | grep -q "$build_dir"; then
  fail "installed veilrelay-router keeps the build tree's RUNPATH"
fi

step "installed tools run from the prefix"
env -u LD_LIBRARY_PATH "$prefix/bin/veilrelay-router" --help >"$work/router-help.txt" || fail "veilrelay-router --help"
grep -q -- '--upstream' "$work/router-help.txt" || fail "veilrelay-router --help names no --upstream"
env -u LD_LIBRARY_PATH "$prefix/bin/veilrelay" --version
env -u LD_LIBRARY_PATH "$prefix/bin/veilrelay" info >"$work/info.json" || fail "veilrelay info"
grep -q '"memory_protection"' "$work/info.json" || fail "veilrelay info printed no protection info"

step "examples with find_package(ossara)"
cmake -S "$source_dir/examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxx_flags" -DCMAKE_EXE_LINKER_FLAGS="$cxx_flags" \
  -DCMAKE_PREFIX_PATH="$prefix${dependency_prefix:+;$dependency_prefix}" >"$work/examples-configure.log" \
  || { cat "$work/examples-configure.log"; fail "configuring the examples"; }
cmake --build "$work/examples" -j 2 || fail "building the examples"

step "minimal_chat with pkg-config"
mkdir -p "$work/pkgconfig-build"
cp "$source_dir/examples/minimal_chat.cpp" "$work/pkgconfig-build/"
PKG_CONFIG_PATH="$libdir/pkgconfig${dependency_prefix:+:$dependency_prefix/lib/pkgconfig}" make -s -C "$work/pkgconfig-build" -f "$source_dir/examples/Makefile" \
  CXX="$cxx $cxx_flags${dependency_prefix:+ -Wl,-rpath,$dependency_prefix/lib}" minimal_chat || fail "building minimal_chat with pkg-config"

step "secure_memory"
env -u LD_LIBRARY_PATH "$work/examples/secure_memory" >"$work/secure_memory.out" 2>&1 \
  || { cat "$work/secure_memory.out"; fail "secure_memory"; }
grep -q 'original wiped: yes' "$work/secure_memory.out" || fail "secure_memory did not wipe its input"

step "development router from the prefix, with a throw-away CA"
start_dev_router "package test" env -u LD_LIBRARY_PATH "$prefix/bin/veilrelay-dev-router"

expected="Hello over an encrypted channel"
for program in "$work/examples/minimal_chat" "$work/pkgconfig-build/minimal_chat"; do
  step "$(basename "$(dirname "$program")")/minimal_chat"
  answer=$(env -u LD_LIBRARY_PATH timeout 120 "$program" "$url" --ca-file "$work/ca.pem" 2>"$work/chat.err") \
    || { cat "$work/chat.err"; fail "$program"; }
  [ "$answer" = "$expected" ] || fail "$program answered '$answer'"
  if grep -q 'Hushvault module not available' "$work/chat.err"; then
    fail "the installed libVeilrelay did not find libHushvault beside it"
  fi
done

step "concurrent_requests"
env -u LD_LIBRARY_PATH timeout 120 "$work/examples/concurrent_requests" "$url" --ca-file "$work/ca.pem" -n 4 \
  >"$work/concurrent.out" 2>&1 || { cat "$work/concurrent.out"; fail "concurrent_requests"; }
[ "$(grep -c ': question ' "$work/concurrent.out")" = "4" ] || { cat "$work/concurrent.out"; fail "concurrent answers"; }

echo "package checks passed"
