#!/usr/bin/env bash
# The Windows client against the Linux development router: starts
# veilrelay-dev-router on 127.0.0.1 (free port, HTTPS with a throw-away CA),
# then runs veilrelay.exe under Wine to generate a key pair, print `info` and
# send one encrypted chat request, and checks the decrypted answer.
#
#   OSSARA_WINDOWS_PREFIX=... ./scripts/run-windows-smoke.sh ["message"]
#
# Needs the windows build (build/windows/bin/veilrelay.exe) and the ci build
# (build/ci: veilrelay-dev-router), and OSSARA_WINDOWS_PREFIX naming the
# prefix with the dependencies' DLLs. Exits 0 when every step passed. Nothing
# is left running: the router is stopped and the temporary files removed.
set -euo pipefail
cd "$(dirname "$0")/.."

message=${1:-"Hello from veilrelay.exe under Wine"}
client=build/windows/bin/veilrelay.exe
router=$(find build/ci -type f -name veilrelay-dev-router -perm -u+x | head -n 1)

: "${OSSARA_WINDOWS_PREFIX:?set OSSARA_WINDOWS_PREFIX to the Windows dependency prefix}"
[ -f "$client" ] || { echo "$client was not built (cmake --build build/windows --target veilrelay)" >&2; exit 1; }
[ -n "$router" ] || { echo "veilrelay-dev-router was not built (cmake --build --preset ci)" >&2; exit 1; }
command -v wine >/dev/null || { echo "wine is not installed" >&2; exit 1; }

work=$(mktemp -d)
router_pid=""
cleanup() {
  if [ -n "$router_pid" ]; then
    kill "$router_pid" 2>/dev/null || true
    wait "$router_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The client under Wine, finding the dependencies' DLLs, bounded in time;
# Windows programs end their lines with CR LF. Standard input is not the
# terminal's: Wine would otherwise wait on it.
veilrelay() {
  WINEDEBUG=-all WINEPATH="$OSSARA_WINDOWS_PREFIX/bin" timeout 120 wine "$client" "$@" </dev/null | tr -d '\r'
}

echo "=== throw-away CA and certificate for 127.0.0.1"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=veilrelay windows-smoke CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca-key.pem" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$work/server-key.pem" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  >"$work/ext.cnf"
openssl x509 -req -days 1 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" \
  -CAcreateserial -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

echo "=== development router (Linux, HTTPS, 127.0.0.1, free port)"
"$router" --host 127.0.0.1 --port 0 --tls-cert "$work/server.pem" --tls-key "$work/server-key.pem" \
  >"$work/router.out" 2>"$work/router.err" &
router_pid=$!
url=""
for _ in $(seq 1 600); do
  url=$(head -n 1 "$work/router.out" 2>/dev/null || true)
  [ -n "$url" ] && break
  if ! kill -0 "$router_pid" 2>/dev/null; then
    cat "$work/router.err" >&2
    echo "the router did not start" >&2
    exit 1
  fi
  sleep 0.1
done
[ -n "$url" ] || { echo "the router printed no URL within 60 s" >&2; exit 1; }
echo "router listening at $url"

# Wine's first program starts its background services, which keep the
# standard streams they inherit open for as long as they run: start them
# from a program whose streams lead nowhere, so no pipe of ours waits on them.
WINEDEBUG=-all timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# Unix paths reach the program as they are: Wine resolves them on its drive
# for the file system root.
echo "=== veilrelay.exe keys generate"
veilrelay keys generate --keys "$work/keys"
[ -s "$work/keys/private_key.pem" ] && [ -s "$work/keys/public_key.pem" ] ||
  { echo "no key pair in $work/keys" >&2; exit 1; }

echo "=== veilrelay.exe info"
info=$(veilrelay info)
echo "$info"
grep -q '"memory_protection"' <<<"$info" && grep -q '"working_set"' <<<"$info" ||
  { echo "info printed no memory report" >&2; exit 1; }

echo "=== veilrelay.exe chat"
echo "> $message"
answer=$(veilrelay chat --router "$url" --ca-file "$work/ca.pem" --keys "$work/keys" "$message")
echo "< $answer"
[ "$answer" = "$message" ] || { echo "the echo model's answer differs from the message" >&2; exit 1; }
echo "=== passed: veilrelay.exe generated keys, reported memory protection and chatted over HTTPS"
