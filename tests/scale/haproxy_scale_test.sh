#!/usr/bin/env bash
# Three veilrelay-router replicas (echo model, plain HTTP on loopback, one
# shared server key) behind HAProxy, configured from the example in
# deploy/haproxy with this test's ports. 1000 requests go through HAProxy
# from the client library, 16 at a time, while
#   1. one replica is stopped (SIGTERM) and started again, and
#   2. the server key is rotated replica by replica: first every replica
#      learns the new key as a previous one (--server-key OLD
#      --previous-server-key NEW), then every replica publishes it
#      (--server-key NEW --previous-server-key OLD). The clients pin both.
# Every request must succeed, except one in flight on a stopping replica,
# which must end with a typed error; none may hang.
# Usage: haproxy_scale_test.sh ROUTER_EXE SCALE_LOAD_EXE HAPROXY_TEMPLATE WORK_DIR
# Exits 77 (reported as skipped) only when haproxy is not installed.
set -euo pipefail

if ! command -v haproxy >/dev/null 2>&1; then
  echo "SKIPPED: haproxy not found (Debian package haproxy)"
  exit 77
fi
# The whole test is bounded: after 120 s it is stopped, and its trap stops
# everything it started.
if [ -z "${SCALE_TEST_BOUNDED:-}" ]; then
  SCALE_TEST_BOUNDED=1 exec timeout -k 10 120 "$0" "$@"
fi

router=$1
load=$2
template=$3
work=$4
rm -rf "$work"
mkdir -p "$work"

declare -A replica_pid replica_port replica_log starts
haproxy_pid=""
load_pid=""
cleanup() {
  local pid
  for pid in "${replica_pid[@]}" $haproxy_pid $load_pid; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${replica_pid[@]}" $haproxy_pid $load_pid; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'echo "FAIL: stopped by a signal (the bound of 120 s, or a stop from outside)"; exit 1' TERM INT

fail() {
  echo "FAIL: $*"
  exit 1
}

# bounded NAME SECONDS CONDITION...: waits until CONDITION holds, checking every 0.1 s.
bounded() {
  local what=$1 seconds=$2
  shift 2
  local i
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  fail "$what: not within $seconds s"
}

# start_replica NAME PORT OPTIONS...: starts a replica (a fresh log per start)
# and waits until it listens.
start_replica() {
  local name=$1 port=$2
  shift 2
  starts[$name]=$((${starts[$name]:-0} + 1))
  local log="$work/$name.${starts[$name]}"
  "$router" --host 127.0.0.1 --port "$port" "$@" >"$log.out" 2>"$log.err" &
  replica_pid[$name]=$!
  replica_log[$name]=$log
  bounded "$name listening" 30 listening "$name"
  replica_port[$name]=$(sed -n 1p "$log.out" | sed 's|.*:||')
}
listening() {
  kill -0 "${replica_pid[$1]}" 2>/dev/null || { cat "${replica_log[$1]}.err"; fail "$1 exited at start"; }
  [ -f "${replica_log[$1]}.out" ] && [ "$(wc -l <"${replica_log[$1]}.out")" -ge 2 ]
}

# stop_replica NAME: SIGTERM, and the window from the signal to the exit,
# during which the replica's requests in flight may fail.
stop_replica() {
  local from to
  from=$(date +%s%N)
  kill -TERM "${replica_pid[$1]}"
  wait "${replica_pid[$1]}" || fail "$1 exited with status $? on SIGTERM"
  to=$(date +%s%N)
  echo "$from $to" >>"$work/windows"
}

# HAProxy checks a replica every 300 ms and takes it back after 2 good
# checks: three answered checks in its fresh log mean it is in rotation.
in_rotation() { [ "$(grep -c 'GET /healthz status=200' "${replica_log[$1]}.err" || true)" -ge 3 ]; }
restart_replica() {  # restart_replica NAME OPTIONS...
  local name=$1
  shift
  stop_replica "$name"
  start_replica "$name" "${replica_port[$name]}" "$@"
  bounded "$name back in rotation" 30 in_rotation "$name"
}

finished() { [ -s "$work/timeline" ] && [ "$(wc -l <"$work/timeline")" -ge "$1" ]; }

# Two server keys, made as an operator makes them.
"$router" keygen "$work/old.pem" >"$work/old.fingerprint" &
"$router" keygen "$work/new.pem" >"$work/new.fingerprint"
wait $!
old_fp=$(sed 's/^SHA-256 fingerprint: //' "$work/old.fingerprint")
new_fp=$(sed 's/^SHA-256 fingerprint: //' "$work/new.fingerprint")

for name in router1 router2 router3; do start_replica "$name" 0 --server-key "$work/old.pem"; done

# The example configuration with this test's addresses, its log on stdout,
# a connection limit within the descriptors a test may open, and checks
# every 300 ms instead of 2 s, so a restarted replica is back in rotation
# within a second and the test stays short.
lb_port=$("$load" port)
sed -e "s|^\( *bind\) .*|\1 127.0.0.1:$lb_port|" \
  -e "s|^\( *log\) /dev/log.*|\1 stdout format raw local0|" \
  -e "s|^\( *maxconn\) [0-9]*|\1 1000|" \
  -e "s|^\( *default-server .*\)inter 2s|\1inter 300ms|" \
  -e "s|^\( *server router1\) .*|\1 127.0.0.1:${replica_port[router1]}|" \
  -e "s|^\( *server router2\) .*|\1 127.0.0.1:${replica_port[router2]}|" \
  -e "s|^\( *server router3\) .*|\1 127.0.0.1:${replica_port[router3]}|" \
  "$template" >"$work/haproxy.cfg"
for expected in "bind 127.0.0.1:$lb_port" "maxconn 1000" "inter 300ms" "server router3 127.0.0.1:${replica_port[router3]}"; do
  grep -qF "$expected" "$work/haproxy.cfg" || fail "the example configuration no longer has the line for: $expected"
done
haproxy -c -q -f "$work/haproxy.cfg" || fail "HAProxy refuses the example configuration"
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
haproxy_pid=$!
accepting() { (exec 3<>"/dev/tcp/127.0.0.1/$lb_port") 2>/dev/null; }
bounded "HAProxy listening" 30 accepting
for name in router1 router2 router3; do bounded "$name in rotation" 30 in_rotation "$name"; done
echo "HAProxy on 127.0.0.1:$lb_port in front of ports ${replica_port[router1]} ${replica_port[router2]} ${replica_port[router3]}"

# 1000 requests, 16 at a time, 30 a second: about 33 s, long enough for the
# seven restarts below to happen while requests are in flight (on a slow
# machine the last 200 trickle until the steps are done).
started=$(date +%s%N)
"$load" run "http://127.0.0.1:$lb_port" 1000 16 30 "$work/timeline" "$work/steps-done" "$old_fp" "$new_fp" \
  >"$work/load.out" 2>&1 &
load_pid=$!
touch "$work/windows"

bounded "50 requests answered" 60 finished 50
restart_replica router1 --server-key "$work/old.pem"
echo "router1 stopped and started again after $(wc -l <"$work/timeline") requests"

for name in router1 router2 router3; do
  restart_replica "$name" --server-key "$work/old.pem" --previous-server-key "$work/new.pem"
done
echo "every replica opens packages for the new key after $(wc -l <"$work/timeline") requests"
for name in router1 router2 router3; do
  restart_replica "$name" --server-key "$work/new.pem" --previous-server-key "$work/old.pem"
done
rotated_at=$(wc -l <"$work/timeline")
touch "$work/steps-done"
echo "every replica publishes the new key after $rotated_at requests"
[ "$rotated_at" -lt 1000 ] || fail "the requests were over before the rotation was: nothing was tested under load"

wait "$load_pid" || fail "the load program failed: $(cat "$work/load.out")"
load_pid=""
cat "$work/load.out"
echo "whole run: $((($(date +%s%N) - started) / 1000000)) ms"
for name in router1 router2 router3; do
  [ "$(sed -n 2p "${replica_log[$name]}.out")" = "SHA-256 fingerprint: $new_fp" ] || fail "$name does not publish the new key"
done
"$load" check "$work/timeline" "$work/windows" 1000
