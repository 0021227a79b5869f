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

source scripts/dev-router-session.sh

# The client under Wine, finding the dependencies' DLLs, bounded in time;
# Windows programs end their lines with CR LF. Standard input is not the
# terminal's: Wine would otherwise wait on it.
veilrelay() {
  WINEDEBUG=-all WINEPATH="$OSSARA_WINDOWS_PREFIX/bin" timeout 120 wine "$client" "$@" </dev/null | tr -d '\r'
}

start_dev_router windows-smoke "$router"

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
