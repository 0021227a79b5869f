# Sourced by the scripts that talk to the development router: a temporary
# folder ($work) removed on exit, and start_dev_router, which makes a
# throw-away CA and a certificate for 127.0.0.1 ($work/ca.pem for the
# client), starts the router on a free port over HTTPS and sets $url.
# Nothing is left running: the router is stopped on exit.

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

# start_dev_router <name for the CA> <router command...>
start_dev_router() {
  local name=$1
  shift
  echo "=== throw-away CA and certificate for 127.0.0.1"
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=veilrelay $name CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$work/ca-key.pem" -out "$work/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$work/server-key.pem" -out "$work/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$work/ext.cnf"
  openssl x509 -req -days 1 -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca-key.pem" \
    -CAcreateserial -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

  echo "=== development router (HTTPS, 127.0.0.1, free port)"
  "$@" --host 127.0.0.1 --port 0 --tls-cert "$work/server.pem" --tls-key "$work/server-key.pem" \
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
}
