#!/usr/bin/env bash
# The main job for now: build the daemon, start it the way the system does (on demand, through
# the launcher that owns its socket), ping it from the signed development client and print the
# reply. Everything runs under a private root prefix, so nothing outside build/ is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release >/dev/null

bin=build/release
root=$(mktemp -d /tmp/korvane-root.XXXXXX)
export KORVANE_ROOT=$root
log=$root/launchd.log
"$bin/platform/launchd/korvane-launchd" --mach-service com.korvane.vpn.helper.xpc -- \
  "$bin/helper/KorvaneVPNHelper" 2>"$log" &
launcher=$!
trap 'kill $launcher 2>/dev/null; wait $launcher 2>/dev/null; rm -rf "$root"' EXIT

for _ in $(seq 100); do
  grep -q 'listening on' "$log" && break
  sleep 0.05
done

echo "ping ->"
"$bin/tools/korvane-helperctl" pingWithReply:
echo
echo "daemon log:"
sed 's/^/  /' "$log"
