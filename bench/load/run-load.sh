#!/usr/bin/env bash
# Load figures for veilrelay-router and `veilrelay proxy` on this machine,
# loopback only. A model server holds every answer 3 s; then:
#   1. 1000 requests at once through the router, and again through the proxy
#      (elapsed time, outcomes, peak RSS and thread count of the server);
#   2. 10,000 idle keep-alive connections on the router (RSS);
#   3. 300 connections trickling one header byte every 2 s while one normal
#      request a second is timed (SLOW_SECONDS, default 60);
#   4. 1000 connections opened at once, each with one request (every one
#      answered 200 or 503; the router's log has a line for each);
#   5. streamed answers driven by the OpenAI Node SDK (installed as
#      tests/proxy/node locks it): first-chunk latency direct and through the
#      proxy (first-chunk), one stream of LONG_SECONDS (long, default 600),
#      200 streams of 50 chunks at once (streams).
# Usage: bench/load/run-load.sh [BUILD_DIR]   (default build/ci; builds what it needs)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/ci}
cmake --build "$build" --target veilrelay-router veilrelay load_make_package >/dev/null
bin=$build/bin
maker=$(find "$build" -type f -name load_make_package -perm -u+x | head -n 1)
command -v node >/dev/null || { echo "node is needed" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# SCENARIOS="router proxy first-chunk streams long idle slow burst" (default: all) picks what runs.
only() { [[ -z "${SCENARIOS:-}" || " $SCENARIOS " == *" $1 "* ]]; }
wait_http() { for _ in $(seq 100); do curl -sf "$1" >/dev/null && return 0; sleep 0.1; done; echo "no answer from $1" >&2; return 1; }

model_port=$(free_port)
node bench/load/load.mjs model-server "$model_port" "${HOLD_MS:-3000}" & pids+=($!)
wait_http "http://127.0.0.1:$model_port/v1/models"

"$maker" keygen "$work/server.pem"
router_port=$(free_port)
"$bin/veilrelay-router" --port "$router_port" --server-key "$work/server.pem" \
  --upstream "http://127.0.0.1:$model_port/v1" --upstream-timeout 60 2> "$work/router.log" > "$work/router.out" &
router_pid=$!; pids+=($router_pid)
wait_http "http://127.0.0.1:$router_port/pki/public_key"
curl -sf "http://127.0.0.1:$router_port/pki/public_key" > "$work/server_public.pem"
"$maker" seal "$work/server_public.pem" "$work"

echo "cores: $(nproc)"
only router && PACKAGE_DIR=$work node bench/load/load.mjs concurrent "http://127.0.0.1:$router_port" router 1000 "$router_pid"

proxy_port=$(free_port)
"$bin/veilrelay" proxy --router "http://127.0.0.1:$router_port" --allow-http --listen "127.0.0.1:$proxy_port" ${PROXY_ARGS:-} \
  2> "$work/proxy.log" > "$work/proxy.out" &
proxy_pid=$!; pids+=($proxy_pid)
wait_http "http://127.0.0.1:$proxy_port/v1/models"
if only proxy; then
  [ -z "${PERF_PROXY:-}" ] || { perf record -g -o "$PERF_PROXY" -p "$proxy_pid" 2>/dev/null & perf_pid=$!; }
  node bench/load/load.mjs concurrent "http://127.0.0.1:$proxy_port" proxy 1000 "$proxy_pid"
  [ -z "${PERF_PROXY:-}" ] || { kill -INT "$perf_pid"; wait "$perf_pid" || true; }
fi

if only first-chunk || only streams || only long; then
  export SDK_DIR=$work/sdk
  mkdir -p "$SDK_DIR" && cp tests/proxy/node/package.json tests/proxy/node/package-lock.json "$SDK_DIR/"
  (cd "$SDK_DIR" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
only first-chunk && node bench/load/load.mjs first-chunk "http://127.0.0.1:$model_port/v1" "http://127.0.0.1:$proxy_port/v1"
only streams && node bench/load/load.mjs streams "http://127.0.0.1:$proxy_port/v1" 200 "$proxy_pid" "$router_pid"
only long && node bench/load/load.mjs long "http://127.0.0.1:$proxy_port/v1" "${LONG_SECONDS:-600}" "$proxy_pid" "$router_pid"

only idle && node bench/load/load.mjs idle "$router_port" 10000 "$router_pid"
only slow && node bench/load/load.mjs slow "$router_port" 300 "${SLOW_SECONDS:-60}" "$router_pid"
only burst || exit 0

before=$(grep -c "GET /pki/public_key\|connection " "$work/router.log" || true)
node bench/load/load.mjs burst "$router_port" 1000
sleep 1
after=$(grep -c "GET /pki/public_key\|connection " "$work/router.log" || true)
echo "{\"scenario\":\"burst-log\",\"router_log_lines\":$((after - before))}"
