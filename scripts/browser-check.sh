#!/usr/bin/env bash
# Headless Chromium against the real executable: a page served from port 8000 calls every
# route and listens to the push server on 9001, as the UI does (tests/browser/route-check.html).
# Runs in a network namespace of its own, so the application's real ports never meet another
# instance's; needs root and the Debian package chromium.
#   scripts/browser-check.sh [build-dir]     (default build/werror)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/werror}
case $build in /*) ;; *) build=$root/$build ;; esac
exe=$build/src/app/vantrel-pellan
[ -x "$exe" ] || { echo "browser-check: $exe is missing: build it first" >&2; exit 2; }
command -v chromium >/dev/null || { echo "browser-check: chromium is not installed" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "browser-check: needs root (network namespace)" >&2; exit 2; }

work=$(mktemp -d)
ns=pellan-browser-$$
app_pid=
cleanup() {
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up

# The executable next to a UI folder that also holds the check page.
mkdir -p "$work/app" "$work/data" "$work/run" "$work/bin" "$work/chromium"
chmod 700 "$work/run"
cp "$exe" "$work/app/"
cp -r "$root/ui" "$work/app/Vantrel_Pellan_UI"
cp "$root/tests/browser/route-check.html" "$work/app/Vantrel_Pellan_UI/"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/xdg-open"
chmod 755 "$work/bin/xdg-open"

ip netns exec "$ns" env HOME="$work" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run" \
    PATH="$work/bin:$PATH" "$work/app/vantrel-pellan" >"$work/app.out" 2>&1 &
app_pid=$!
for _ in $(seq 1 50); do
    ip netns exec "$ns" curl -fs -o /dev/null http://localhost:8000/api/version && break
    sleep 0.2
done

# A foreign page's request is refused; the same request without Origin (curl, scripts) is served.
status() { ip netns exec "$ns" curl -s -o /dev/null -w '%{http_code}' "$@"; }
foreign=$(status -X POST -H 'Origin: http://evil.example' -d '{"hostname":"TRQ-PN2-1"}' \
    http://localhost:8000/api/devices)
plain=$(status -X POST -d '{"hostname":"TRQ-PN2-1"}' http://localhost:8000/api/devices)
echo "POST with a foreign Origin: $foreign; without Origin: $plain"
[ "$foreign" = 403 ] && [ "$plain" = 200 ]
status -X DELETE http://localhost:8000/api/devices/TRQ-PN2-1 >/dev/null

result=$(ip netns exec "$ns" timeout 60 chromium --headless --no-sandbox --disable-gpu \
    --disable-background-networking --disable-component-update --disable-sync --no-first-run \
    --user-data-dir="$work/chromium" --virtual-time-budget=15000 --dump-dom \
    http://localhost:8000/route-check.html 2>/dev/null |
    sed -n '/<pre id="result">/,/<\/pre>/p')
echo "$result" | sed -e 's/<[^>]*>//g'
grep -q "ALL PASSED" <<<"$result"
