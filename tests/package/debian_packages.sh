#!/usr/bin/env bash
# The Debian packages on this machine (in a copy-on-write view of it where
# possible, see below): installs them with apt (built by
# scripts/build-packages.sh, or reused from dist/ when built from these very
# sources), runs the client, starts the router the way its systemd units do
# (their ExecStart lines, as the units' user, with the units' limits and
# credentials), chats through it, removes the packages and checks that only
# configuration is left, then purges them. The machine is left as it was:
# packages, the service's user and dependencies apt pulled in go again.
# The sources are shared with the view: dist/ and build/release-hardened
# persist.
#
#   debian_packages.sh SOURCE_DIR
#
# Skipped (77) where it cannot run: not root, no dpkg or apt, or the packages
# or /etc/veilrelay already there (they are not this test's to change).
set -euo pipefail

source_dir=$(cd "$1" && pwd)
deb_dir=$source_dir/cmake/debian
packages=(libhushvault1 libveilrelay1 libveilrelay-dev veilrelay veilrelay-router)
confdir=/etc/veilrelay
user=_veilrelay

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
skip() {
  echo "skipped: $*"
  exit 77
}
step() { echo "--- $* (${SECONDS}s)"; }

# "Key=Value" lines of a unit's [Service] section, continuation lines joined.
service_lines() {
  sed -e ':a' -e '/\\$/N; s/\\\n[[:space:]]*/ /; ta' "$1" |
    awk '/^\[/ { in_service = ($0 == "[Service]") } in_service && !/^[#;]/ && /=/'
}
# The values of one key of a unit's [Service] section, one a line.
unit_values() { service_lines "$1" | sed -n "s/^$2=//p"; }

# --- the packaged unit keeps the hardening of deploy/systemd's example unit.
# Cheap and without root: checked before anything is skipped. Every setting
# of the example is in the package's unit, but for the user (a system user
# of its own instead of a dynamic one) and the command line.
step "the router unit keeps the example unit's hardening"
packaged=$(sed "s|@OSSARA_ROUTER_CONFDIR@|$confdir|g" "$deb_dir/veilrelay-router.service.in" | service_lines /dev/stdin)
while IFS= read -r line; do
  case "$line" in ExecStart=* | DynamicUser=*) continue ;; esac
  grep -qxF -- "$line" <<<"$packaged" || fail "the packaged unit lacks '$line'"
done < <(service_lines "$source_dir/deploy/systemd/veilrelay-router.service")
grep -qx "User=$user" <<<"$packaged" || fail "the packaged unit does not run as $user"
grep -q "^u $user " "$deb_dir/veilrelay-router.sysusers" || fail "sysusers.d makes no $user"

[ "$(id -u)" = 0 ] || skip "not root (installs packages)"
for tool in dpkg dpkg-query apt-get setpriv; do
  command -v "$tool" >/dev/null || skip "no $tool here"
done
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case "$status" in "" | un*) ;; *) skip "$p is already on this machine ($status)" ;; esac
done

# Preferably in a copy-on-write view of this machine: / under an overlay whose
# changes go to a tmpfs of a private mount namespace and vanish with it. The
# machine then changes in nothing, and an apt run elsewhere holding the dpkg
# lock is no obstacle. Where no overlay can be mounted, onto the machine.
if [ -z "${OSSARA_PACKAGE_TEST_VIEW:-}" ] && command -v unshare >/dev/null && unshare --mount true 2>/dev/null; then
  view=$(mktemp -d)
  rc=0
  OSSARA_PACKAGE_TEST_VIEW=1 unshare --mount --propagation private bash -euc '
    view=$1 source_dir=$2 script=$3
    mount -t tmpfs tmpfs "$view" &&
      mkdir "$view/upper" "$view/work" "$view/root" &&
      mount -t overlay overlay -o "lowerdir=/,upperdir=$view/upper,workdir=$view/work" "$view/root" &&
      mount -t proc proc "$view/root/proc" &&
      mount --rbind /dev "$view/root/dev" &&
      mount -t tmpfs tmpfs "$view/root/run" &&
      mount -t tmpfs tmpfs "$view/root/tmp" &&
      mkdir -p "$view/root$source_dir" &&
      mount --bind "$source_dir" "$view/root$source_dir" || exit 75
    exec chroot "$view/root" "$script" "$source_dir"' _ "$view" "$source_dir" "$(readlink -f "$0")" || rc=$?
  rmdir "$view"
  [ "$rc" = 75 ] || exit "$rc"
  echo "no overlay can be mounted here: the packages go onto this machine"
fi
[ ! -e "$confdir" ] || skip "$confdir exists on this machine"

work=$(mktemp -d)
router_pid=""
installed=0
user_existed=0
getent passwd "$user" >/dev/null && user_existed=1
installed_packages() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort; }
# Those of the packages dpkg still knows (installed, or their configuration left).
known_packages() {
  local p status
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
    case "$status" in "" | un*) ;; *) echo "$p" ;; esac
  done
}
installed_packages >"$work/before.txt"
apt_get() { DEBIAN_FRONTEND=noninteractive timeout 300 apt-get -o DPkg::Lock::Timeout=900 -y "$@"; }

# Whatever happened, the machine goes back to how it was.
cleanup() {
  local rc=$?
  if [ -n "$router_pid" ]; then
    kill "$router_pid" 2>/dev/null || true
    wait "$router_pid" 2>/dev/null || true
  fi
  if [ "$installed" = 1 ]; then
    mapfile -t known < <(known_packages)
    if [ "${#known[@]}" -gt 0 ]; then
      apt_get purge "${known[@]}" >"$work/cleanup.log" 2>&1 || cat "$work/cleanup.log" >&2
    fi
    # Dependencies apt installed for the packages.
    mapfile -t pulled < <(comm -13 "$work/before.txt" <(installed_packages))
    if [ "${#pulled[@]}" -gt 0 ]; then apt_get purge "${pulled[@]}" >/dev/null 2>&1 || true; fi
    rm -rf "$confdir"
  fi
  if [ "$user_existed" = 0 ] && getent passwd "$user" >/dev/null; then
    userdel "$user" 2>/dev/null || true
    groupdel "$user" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "packages"
id=$("$source_dir/scripts/build-packages.sh" --source-id)
if [ -n "$id" ] && [ "$(cat "$source_dir/dist/SOURCE_ID" 2>/dev/null)" = "$id" ]; then
  echo "reusing dist/, built from these sources"
else
  timeout 1500 "$source_dir/scripts/build-packages.sh" --no-lintian >"$work/build.log" 2>&1 \
    || { tail -n 50 "$work/build.log"; fail "scripts/build-packages.sh"; }
fi
debs=()
for p in "${packages[@]}"; do
  found=("$source_dir/dist/${p}"_*.deb)
  [ -f "${found[0]}" ] || fail "dist/ has no package $p"
  debs+=("${found[0]}")
done

step "apt-get install"
installed=1
apt_get install --no-install-recommends "${debs[@]}" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "apt-get install"; }
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$p")" = "ii " ] || fail "$p is not installed"
  dpkg -L "$p" >"$work/files-$p.txt"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for f in /usr/bin/veilrelay /usr/bin/veilrelay-router \
  "/usr/lib/$multiarch/libHushvault.so.1" "/usr/lib/$multiarch/libVeilrelay.so.1" \
  /usr/include/ossara/Veilrelay.hpp "/usr/lib/$multiarch/cmake/ossara/ossaraConfig.cmake" \
  "/usr/lib/$multiarch/pkgconfig/ossara-veilrelay.pc" "$confdir/router.conf" \
  /usr/share/doc/veilrelay-router/copyright; do
  [ -e "$f" ] || fail "missing $f"
done
[ ! -e /usr/bin/veilrelay-dev-router ] || fail "the development router was installed"
getent passwd "$user" >/dev/null || fail "the package made no user $user"

step "veilrelay info, veilrelay keys generate"
client_env=(env -u XDG_DATA_HOME -u LD_LIBRARY_PATH HOME="$work/home")
mkdir -m 0700 "$work/home"
"${client_env[@]}" /usr/bin/veilrelay info >"$work/info.json" || fail "veilrelay info"
grep -q '"memory_protection"' "$work/info.json" || fail "veilrelay info printed no protection info"
"${client_env[@]}" timeout 120 /usr/bin/veilrelay keys generate >"$work/keys.out" 2>&1 \
  || { cat "$work/keys.out"; fail "veilrelay keys generate"; }
[ -s "$work/home/.local/share/veilrelay/keys/private_key.pem" ] || fail "no key pair in the default directory"

unit_dir=$(dirname "$(grep -m 1 '/veilrelay-router\.service$' "$work/files-veilrelay-router.txt")")
router_unit=$unit_dir/veilrelay-router.service
key_unit=$unit_dir/veilrelay-router-key.service
[ -f "$router_unit" ] && [ -f "$key_unit" ] || fail "the units are not installed"
if command -v systemd-analyze >/dev/null; then
  step "systemd-analyze verify"
  # Only what it says of these two units counts (not of others on the system).
  systemd-analyze verify "$key_unit" "$router_unit" >"$work/verify.log" 2>&1 || true
  if grep -E 'veilrelay-router(-key)?\.service' "$work/verify.log"; then fail "systemd-analyze verify"; fi
fi

step "the key unit makes the server key once"
key_file=$(unit_values "$key_unit" ExecStart | awk '{ print $NF }')
condition=$(sed -n 's/^ConditionPathExists=!//p' "$key_unit")
[ "$condition" = "$key_file" ] || fail "the key unit's condition ($condition) is not its key ($key_file)"
[ ! -e "$key_file" ] || fail "$key_file exists before the first start"
(umask 077 && cd / && exec $(unit_values "$key_unit" ExecStart)) >"$work/keygen.out" || fail "the key unit's ExecStart"
[ "$(stat -c '%a %U' "$key_file")" = "600 root" ] || fail "server key mode/owner: $(stat -c '%a %U' "$key_file")"
key_sum=$(sha256sum <"$key_file")

step "the router unit's ExecStart, as $user"
credential=$(unit_values "$router_unit" LoadCredential)
[ "${credential#*:}" = "$key_file" ] || fail "the router loads ${credential#*:}, the key unit writes $key_file"
# systemd's credentials directory: the service user's, the key readable by it alone.
creds=$work/credentials
chmod 0711 "$work"
install -d -m 0500 -o "$user" "$creds"
install -m 0400 -o "$user" "$key_file" "$creds/${credential%%:*}"
env_file=$(unit_values "$router_unit" EnvironmentFile)
[ "$env_file" = "$confdir/router.conf" ] || fail "EnvironmentFile is $env_file"
memlock=$(unit_values "$router_unit" LimitMEMLOCK)
[ "$memlock" = 64M ] || fail "LimitMEMLOCK is '$memlock'"
exec_start=$(unit_values "$router_unit" ExecStart)
[ "$(unit_values "$router_unit" User)" = "$user" ] || fail "the unit's user"
(
  set -a
  # shellcheck disable=SC1090
  . "$env_file"
  set +a
  # The port the package ships is taken on a shared machine: the same
  # options on a port the router picks.
  VEILRELAY_ROUTER_OPTIONS=$(sed -E 's/--port [0-9]+/--port 0/' <<<"$VEILRELAY_ROUTER_OPTIONS")
  # The line's words as systemd expands them: %d, $VAR split into words.
  command=()
  for word in $exec_start; do
    if [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      # shellcheck disable=SC2206
      command+=(${!BASH_REMATCH[1]})
    else
      command+=("${word//%d/$creds}")
    fi
  done
  # The unit's limits; where this machine does not let root raise them
  # (a container without CAP_SYS_RESOURCE), as far as its hard limits go.
  ulimit -l $((64 * 1024)) 2>/dev/null || ulimit -l "$(ulimit -H -l)"
  ulimit -n "$(unit_values "$router_unit" LimitNOFILE)" 2>/dev/null || ulimit -n "$(ulimit -H -n)"
  ulimit -c 0
  cd /
  exec setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups --no-new-privs \
    env -i PATH=/usr/bin:/bin CREDENTIALS_DIRECTORY="$creds" "${command[@]}"
) >"$work/router.out" 2>"$work/router.err" &
router_pid=$!
url=""
for _ in $(seq 1 600); do
  url=$(head -n 1 "$work/router.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  kill -0 "$router_pid" 2>/dev/null || { cat "$work/router.err"; fail "the router did not start"; }
  sleep 0.1
done
[ -n "$url" ] || fail "the router printed no URL within 60 s"
fingerprint=$(sed -n '2s/^SHA-256 fingerprint: //p' "$work/router.out")
echo "router at $url, key $fingerprint"
[[ $url == http://127.0.0.1:* ]] || fail "the shipped options serve $url, not loopback"
grep -qF "$fingerprint" "$work/keygen.out" || fail "the router does not serve the key the key unit made"
[ "$(stat -c %U "/proc/$router_pid")" = "$user" ] || fail "the router runs as $(stat -c %U "/proc/$router_pid")"
memlock_bytes=67108864
hard=$(ulimit -H -l)
if [ "$hard" != unlimited ] && [ $((hard * 1024)) -lt $memlock_bytes ]; then
  echo "note: this machine caps the memory-lock limit at $((hard / 1024)) MiB; the unit asks for 64 MiB"
  memlock_bytes=$((hard * 1024))
fi
grep -Eq "^Max locked memory +$memlock_bytes " "/proc/$router_pid/limits" || fail "the router's memory-lock limit"

step "veilrelay chat through the router (its echo model answers)"
message="Hello from the package test"
answer=$("${client_env[@]}" timeout 120 /usr/bin/veilrelay chat --router "$url" --allow-http --pin "$fingerprint" \
  "$message" 2>"$work/chat.err") || { cat "$work/chat.err" "$work/router.err"; fail "veilrelay chat"; }
[ "$answer" = "$message" ] || fail "the router answered '$answer'"

step "the router stops on the unit's KillSignal"
kill -"$(unit_values "$router_unit" KillSignal)" "$router_pid"
router_rc=0
timeout 20 tail --pid="$router_pid" -f /dev/null || fail "the router did not stop within 20 s"
wait "$router_pid" || router_rc=$?
router_pid=""
[ "$router_rc" = 0 ] || { cat "$work/router.err"; fail "the router exited with $router_rc"; }

step "apt-get remove: only configuration is left"
apt_get remove "${packages[@]}" >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "apt-get remove"; }
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  case "$status" in "" | un* | rc*) ;; *) fail "$p is still '$status' after removal" ;; esac
  while IFS= read -r path; do
    case "$path" in /etc/* | /. | "") continue ;; esac
    [ -e "$path" ] || [ -L "$path" ] || continue
    [ -d "$path" ] || fail "$path is left after removal"
    # A folder may stay only while other packages have files in it.
    dpkg -S "$path" >/dev/null 2>&1 || fail "the folder $path is left, owned by no package"
  done <"$work/files-$p.txt"
done
[ -f "$confdir/router.conf" ] || fail "removal took the configuration"
[ "$(sha256sum <"$key_file")" = "$key_sum" ] || fail "removal changed the server key"
if dpkg -S /usr/bin/veilrelay-router /usr/bin/veilrelay >/dev/null 2>&1; then fail "dpkg still lists the binaries"; fi

step "apt-get purge: nothing is left"
mapfile -t known < <(known_packages)
apt_get purge "${known[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge"; }
[ ! -e "$confdir" ] || fail "$confdir is left after purge: $(ls -A "$confdir")"
[ -z "$(known_packages)" ] || fail "dpkg still knows $(known_packages | xargs) after purge"
installed=0
[ -z "$(comm -13 "$work/before.txt" <(installed_packages))" ] || {
  installed=1
  fail "apt left packages it pulled in"
}

echo "Debian package checks passed in ${SECONDS}s"
