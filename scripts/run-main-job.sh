#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: install the dependencies, build
# the libraries and tools (Release), start the bundled development router on
# 127.0.0.1 over HTTPS with a throw-away CA, send one end-to-end encrypted chat
# request with the veilrelay client, and print the decrypted answer.
#
#   ./scripts/run-main-job.sh ["message"]
#
# Works as root and as a user who may use sudo (only for installing packages).
# Nothing is left running: the router is stopped and the temporary
# certificates are removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

message=${1:-"Hello from the encrypted main job"}
build_dir=build/main-job

echo "=== dependencies"
./scripts/install-deps.sh

echo "=== build ($build_dir, Release)"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DOSSARA_BUILD_TESTS=OFF -DOSSARA_BUILD_BENCH=OFF -DOSSARA_BUILD_TOOLS=ON >/dev/null
cmake --build "$build_dir" --target veilrelay veilrelay-dev-router -j "$(nproc)"

client=$build_dir/bin/veilrelay
router=$(find "$build_dir" -type f -name veilrelay-dev-router -perm -u+x | head -n 1)
[ -x "$client" ] || { echo "veilrelay was not built" >&2; exit 1; }
[ -n "$router" ] || { echo "veilrelay-dev-router was not built" >&2; exit 1; }

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

echo "=== throw-away CA and certificate for 127.0.0.1"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=veilrelay main-job CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca-key.pem" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$work/server-key.pem" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
  >"$work/ext.cnf"
openssl x509 -req -days 1 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" \
  -CAcreateserial -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

echo "=== development router (HTTPS, 127.0.0.1, free port)"
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

echo "=== encrypted chat request"
echo "> $message"
answer=$("$client" chat --router "$url" --ca-file "$work/ca.pem" "$message")
echo "< $answer"
echo "=== done: the answer was encrypted by the router for this client's key and decrypted here"
