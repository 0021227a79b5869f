# Shared by the proxy's shell tests (sourced, not run): the Node check, the
# run directory with the fixed keys, background programs stopped at exit,
# and the checks' failure reporting.

# Exits 77 (reported as skipped) only when node is not installed.
require_node() {
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    echo "SKIPPED: node/npm not found; the SDK tests need Node.js 20 or later"
    exit 77
  fi
}

# prepare_run WORK_DIR: a fresh $work/run with the router's and the client's
# fixed RSA keys from the test vectors (no key generation in these tests),
# and the SDK, exactly as locked, installed into $work/node with the scripts.
prepare_run() {
  work=$1
  local here vectors
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  vectors="$here/../data/vectors/packages.json"
  rm -rf "$work/run"
  mkdir -p "$work/node" "$work/run/keys"
  cp "$here"/node/package.json "$here"/node/package-lock.json "$here"/node/*.mjs "$work/node/"
  (cd "$work/node" && npm ci --no-audit --no-fund --loglevel=error)
  node -e '
    const v = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    require("fs").writeFileSync(process.argv[2] + "/server.pem", v.server_private_key_pem);
    require("fs").writeFileSync(process.argv[2] + "/keys/private_key.pem", v.client_private_key_pem);
  ' "$vectors" "$work/run"
}

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# start NAME [LINES] -- COMMAND...: starts a program in the background and
# waits (up to 30 s) until it has printed LINES stdout lines (default 1);
# its first line lands in $first_line, its second in $second_line.
start() {
  local name=$1 lines=1
  shift
  if [ "$1" != -- ]; then lines=$1; shift; fi
  shift
  "$@" >"$work/run/$name.out" 2>"$work/run/$name.err" &
  pids+=($!)
  for _ in $(seq 1 300); do
    if [ -s "$work/run/$name.out" ] && [ "$(wc -l <"$work/run/$name.out")" -ge "$lines" ]; then
      first_line=$(sed -n 1p "$work/run/$name.out")
      second_line=$(sed -n 2p "$work/run/$name.out")
      return 0
    fi
    sleep 0.1
  done
  echo "$name did not start:"; cat "$work/run/$name.err"
  exit 1
}

fail() { echo "FAIL: $*"; exit 1; }
expect_in() {  # expect_in FILE TEXT DESCRIPTION
  grep -qF -- "$2" "$1" || { echo "--- $1:"; cat "$1"; fail "$3"; }
}
