#!/usr/bin/env bash
# `veilrelay proxy` in front of the development router, driven by curl (the
# raw wire format) and by the official OpenAI Node SDK (node/interop.mjs).
# Usage: interop_test.sh VEILRELAY_EXE DEV_ROUTER_EXE WORK_DIR
# Exits 77 (reported as skipped) only when node is not installed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=test_helpers.sh
source "$here/test_helpers.sh"
require_node

veilrelay=$1
dev_router=$2
prepare_run "$3"
api_key=interop-api-key

start router -- "$dev_router" --port 0 --server-key "$work/run/server.pem" --api-key "$api_key"
router_url=$first_line
start proxy -- "$veilrelay" proxy --router "$router_url" --allow-http --listen 127.0.0.1:0 \
  --keys "$work/run/keys" --model echo
proxy_url=$first_line
echo "router $router_url, proxy $proxy_url"

body='{"model": "echo", "messages": [{"role": "user", "content": "curl says hi"}]}'

# An answer: JSON, with the caller's request id.
curl -sS -D "$work/run/h1" -o "$work/run/b1" -H "Authorization: Bearer $api_key" -H "X-Request-ID: curl-1" \
  -H "Content-Type: application/json" --data "$body" "$proxy_url/chat/completions"
expect_in "$work/run/h1" "HTTP/1.1 200" "plain answer status"
grep -qi '^content-type: application/json' "$work/run/h1" || fail "plain answer content type"
grep -qi '^x-request-id: curl-1' "$work/run/h1" || fail "request id not returned"
expect_in "$work/run/b1" '"content":"curl says hi"' "plain answer content"
echo "ok   curl: answer as JSON with its request id"

# A stream: event-stream framing, the development router's chunks one word
# each as their own events, the finish chunk, [DONE].
stream_body='{"model": "echo", "stream": true, "messages": [{"role": "user", "content": "curl says hi"}]}'
curl -sS -N -D "$work/run/h2" -o "$work/run/b2" -H "Authorization: Bearer $api_key" -H "Content-Type: application/json" \
  --data "$stream_body" "$proxy_url/chat/completions"
grep -qi '^content-type: text/event-stream' "$work/run/h2" || fail "stream content type"
expect_in "$work/run/b2" '"content":"curl "' "stream first word"
expect_in "$work/run/b2" '"content":"hi"' "stream last word"
expect_in "$work/run/b2" '"finish_reason":"stop"' "stream finish chunk"
tail -c 14 "$work/run/b2" | cmp -s - <(printf 'data: [DONE]\n\n') || fail "stream does not end with data: [DONE] and a blank line"
events=$(grep -c '^data: ' "$work/run/b2")
blank=$(grep -c '^$' "$work/run/b2")
[ "$events" = 4 ] && [ "$blank" = 4 ] || fail "stream framing: $events events, $blank blank lines"
echo "ok   curl: server-sent events framed as data lines and blank lines, ending in [DONE]"

# Errors: JSON in the common shape, never HTML.
code=$(curl -sS -o "$work/run/b3" -w '%{http_code}' -H "Authorization: Bearer wrong" -H "Content-Type: application/json" \
  --data "$body" "$proxy_url/chat/completions")
[ "$code" = 401 ] || fail "wrong key gave $code"
expect_in "$work/run/b3" '{"error":{"message":"Invalid API key","type":"authentication_error","param":null,' "401 body"
code=$(curl -sS -o "$work/run/b4" -w '%{http_code}' -H "Content-Type: application/json" --data 'not json' \
  "$proxy_url/chat/completions")
[ "$code" = 400 ] || fail "bad JSON gave $code"
expect_in "$work/run/b4" '"type":"invalid_request_error"' "400 body"
code=$(curl -sS -o "$work/run/b5" -w '%{http_code}' "$proxy_url/no/such/path")
[ "$code" = 404 ] || fail "unknown path gave $code"
expect_in "$work/run/b5" '"code":"unknown_url"' "404 body"
# A form post (curl's default type, a web page's "simple" request) is refused.
code=$(curl -sS -o "$work/run/b6" -w '%{http_code}' --data "$body" "$proxy_url/chat/completions")
[ "$code" = 415 ] || fail "a form post gave $code"
expect_in "$work/run/b6" '"code":"unsupported_media_type"' "415 body"
echo "ok   curl: errors as JSON with their status"

# A non-loopback address without a local token is refused before anything starts.
status=0
"$veilrelay" proxy --router "$router_url" --allow-http --listen 0.0.0.0:0 >/dev/null 2>"$work/run/usage.err" || status=$?
[ "$status" = 2 ] || fail "--listen 0.0.0.0 without --local-token-file exited with $status"
expect_in "$work/run/usage.err" "--local-token-file" "usage error names the missing option"
echo "ok   a non-loopback --listen needs --local-token-file"

PROXY_URL=$proxy_url ROUTER_URL=$router_url API_KEY=$api_key VEILRELAY_EXE=$veilrelay KEYS_DIR=$work/run/keys \
  node "$work/node/interop.mjs"

# The proxy stops on SIGTERM with exit code 0.
proxy_pid=${pids[1]}
kill -TERM "$proxy_pid"
status=0
wait "$proxy_pid" || status=$?
[ "$status" = 0 ] || fail "proxy exited with $status on SIGTERM"
echo "ok   the proxy exits 0 on SIGTERM"
