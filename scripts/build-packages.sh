#!/usr/bin/env bash
# Builds the Debian packages (libhushvault1, libveilrelay1, libveilrelay-dev,
# veilrelay, veilrelay-router) into dist/ from the release build
# (scripts/release-build.sh, build/release-hardened), then checks them with
# lintian (errors fail the script).
#
#   ./scripts/build-packages.sh [--no-lintian]
#   ./scripts/build-packages.sh --source-id   # prints the identity of the sources
#
# The build is the one Debian makes of its own packages (see
# release-build.sh); the files are stripped in the packages. dist/SOURCE_ID
# names the sources the packages were built from, so a test can reuse them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The content of every file of the tree as it is now (tracked or new, not
# ignored), whether committed or not; empty outside a git checkout (nothing
# can then be reused).
source_id() {
  git rev-parse --is-inside-work-tree >/dev/null 2>&1 || return 0
  { git ls-files -z --cached --others --exclude-standard | sort -zu | xargs -0 -r sha256sum 2>/dev/null || true; } |
    sha256sum | cut -d ' ' -f 1
}

lintian=1
case "${1:-}" in
  --source-id) source_id; exit 0 ;;
  --no-lintian) lintian=0 ;;
  "") ;;
  *) echo "usage: $0 [--no-lintian | --source-id]" >&2; exit 2 ;;
esac

./scripts/install-deps.sh
# dpkg-shlibdeps (dpkg-dev) and file compute the dependencies; lintian checks.
tools=(dpkg-dev file)
[ "$lintian" = 1 ] && tools+=(lintian)
source scripts/debian-packages.sh
ensure_debian_packages "${tools[@]}"

build=build/release-hardened
id=$(source_id)
# One package build at a time (the test command starts one beside the tests,
# the package test may ask for one meanwhile); whoever comes second finds
# dist/ holding the packages of these very sources and builds nothing.
mkdir -p build
exec {lock}>build/packages.lock
flock "$lock"
if [ -n "$id" ] && [ "$(cat dist/SOURCE_ID 2>/dev/null)" = "$id" ] && compgen -G 'dist/*.deb' >/dev/null; then
  echo "dist/ holds the packages of these sources"
  ls -l dist/*.deb
else
  ./scripts/release-build.sh
  # The release build's own lock: no build there while CPack reads it.
  exec {release_lock}>build/release-hardened.lock
  flock "$release_lock"
  # Reproducible dates of the files in the packages.
  if git log -1 --format=%ct >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
  fi
  rm -rf "$build/packages"
  cpack --config "$build/CPackConfig.cmake" -G DEB

  rm -rf dist
  mkdir -p dist
  cp "$build"/packages/*.deb dist/
  printf '%s\n' "$id" >dist/SOURCE_ID
  ls -l dist/*.deb
fi

if [ "$lintian" = 1 ]; then
  echo "=== lintian"
  # Warnings and notes are printed; an error fails the build.
  lintian --fail-on error --info dist/*.deb
  echo "lintian: no errors"
fi
