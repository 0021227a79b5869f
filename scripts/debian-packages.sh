# shellcheck shell=bash
# Sourced by the scripts that install Debian packages.
#
#   ensure_debian_packages [--sources] PACKAGE...
#
# Installs those of the packages that are not installed yet; with --sources
# it first adds Debian's source archive (what `apt-get source` fetches from)
# when apt knows none. Runs as root, or through sudo.
#
# The test command runs several of these scripts at once (the Windows and the
# libc++ dependencies build beside the tests, the package build beside
# them), so each takes a lock of ours around its check and its install: a
# package another one is halfway through installing would otherwise look
# missing, and its second apt-get would find the dpkg lock taken and fail.
# An apt run of someone else's holding that lock is waited for too. The
# lock file's path is fixed, not under $TMPDIR: every caller must find it.

ensure_debian_packages() {
  local sources=0
  if [ "${1:-}" = --sources ]; then
    sources=1
    shift
  fi
  local sudo=() apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900)
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
    apt=(sudo "${apt[@]}")
  fi
  (
    flock 9
    local missing=() package
    for package in "$@"; do
      dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    local update=0
    [ "${#missing[@]}" -gt 0 ] && update=1
    if [ "$sources" = 1 ] && [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
      "${sudo[@]}" tee /etc/apt/sources.list.d/ossara-debian-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
      update=1
    fi
    if [ "$update" = 1 ]; then
      "${apt[@]}" update
    fi
    if [ "${#missing[@]}" -gt 0 ]; then
      "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
    fi
  ) 9>>/tmp/ossara-debian-packages.lock
}
