#!/usr/bin/env bash
# The whole chain: the official OpenAI Node SDK -> `veilrelay proxy` ->
# veilrelay-router -> a recording model server (node/model_server.mjs);
# the cases are in node/chain.mjs.
# Usage: chain_test.sh VEILRELAY_EXE ROUTER_EXE WORK_DIR
# Exits 77 (reported as skipped) only when node is not installed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=test_helpers.sh
source "$here/test_helpers.sh"
require_node

veilrelay=$1
router=$2
prepare_run "$3"
api_key=chain-api-key
upstream_key=chain-upstream-key
echo "$api_key" >"$work/run/api_keys"
echo "$upstream_key" >"$work/run/upstream_key"

start model -- node "$work/node/model_server.mjs" "$work/run/model_requests.jsonl"
model_url=$first_line
start router 2 -- "$router" --port 0 --server-key "$work/run/server.pem" --api-keys-file "$work/run/api_keys" \
  --upstream "$model_url" --upstream-api-key-file "$work/run/upstream_key" --upstream-timeout 20
router_url=$first_line
fingerprint=${second_line#SHA-256 fingerprint: }
[[ "$fingerprint" =~ ^([0-9a-f]{2}:){31}[0-9a-f]{2}$ ]] || fail "router's second line is not a fingerprint: $second_line"

proxy() {  # proxy NAME [OPTIONS]: a proxy in front of the router; its URL in $first_line
  local name=$1
  shift
  start "$name" -- "$veilrelay" proxy --router "$router_url" --allow-http --listen 127.0.0.1:0 \
    --keys "$work/run/keys" --timeout 30 "$@"
}
proxy proxy
proxy_url=$first_line
proxy pinned --pin "$fingerprint"
pinned_url=$first_line
proxy wrong_pin --pin "$(printf '00:%.0s' $(seq 31))00"
wrong_pin_url=$first_line
# A router that is down: the proxy refuses to start, unless --lazy.
down_router=http://127.0.0.1:1
status=0
timeout 60 "$veilrelay" proxy --router "$down_router" --allow-http --listen 127.0.0.1:0 --keys "$work/run/keys" \
  >/dev/null 2>"$work/run/refused.err" || status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "a proxy started against a router that is down (exit $status)"
expect_in "$work/run/refused.err" "--lazy" "the refusal does not name --lazy"
start down -- "$veilrelay" proxy --router "$down_router" --allow-http --listen 127.0.0.1:0 --keys "$work/run/keys" \
  --timeout 30 --lazy
down_url=$first_line
echo "model server $model_url, router $router_url ($fingerprint), proxies $proxy_url $pinned_url $wrong_pin_url $down_url"

# The serving options reach the proxy's server: with --max-connections 1 and
# one connection held open, the next connection is answered 503 at once.
proxy limited --workers 1 --max-connections 1 --keep-alive 30 --grace 1
limited_port=${first_line#http://127.0.0.1:}
exec 3<>"/dev/tcp/127.0.0.1/${limited_port%%/*}"
limited_status=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$first_line/models" || true)
exec 3>&-
[ "$limited_status" = 503 ] || fail "a connection past --max-connections 1 got '$limited_status', not 503"

PROXY_URL=$proxy_url PINNED_PROXY_URL=$pinned_url WRONG_PIN_PROXY_URL=$wrong_pin_url DOWN_PROXY_URL=$down_url API_KEY=$api_key \
  UPSTREAM_API_KEY=$upstream_key RECORD_FILE=$work/run/model_requests.jsonl \
  node "$work/node/chain.mjs"
