#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: install the dependencies, build
# the client and the development router (the release build, as the Debian
# packages are built), start the bundled development router on
# 127.0.0.1 over HTTPS with a throw-away CA, send one end-to-end encrypted chat
# request with the veilrelay client, and print the decrypted answer.
#
#   ./scripts/run-main-job.sh ["message"]
#   MAIN_JOB_BUILD_ONLY=1 ./scripts/run-main-job.sh   # install and build only
#
# Works as root and as a user who may use sudo (only for installing packages).
# Nothing is left running: the router is stopped and the temporary
# certificates are removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

message=${1:-"Hello from the encrypted main job"}
build_dir=build/release-hardened

echo "=== dependencies"
./scripts/install-deps.sh

echo "=== build ($build_dir)"
./scripts/release-build.sh veilrelay veilrelay-dev-router
[ "${MAIN_JOB_BUILD_ONLY:-0}" = 1 ] && exit 0

client=$build_dir/bin/veilrelay
router=$(find "$build_dir" -type f -name veilrelay-dev-router -perm -u+x | head -n 1)
[ -x "$client" ] || { echo "veilrelay was not built" >&2; exit 1; }
[ -n "$router" ] || { echo "veilrelay-dev-router was not built" >&2; exit 1; }

source scripts/dev-router-session.sh

start_dev_router main-job "$router"

echo "=== encrypted chat request"
echo "> $message"
answer=$("$client" chat --router "$url" --ca-file "$work/ca.pem" "$message")
echo "< $answer"
echo "=== done: the answer was encrypted by the router for this client's key and decrypted here"
