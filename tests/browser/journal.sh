#!/usr/bin/env bash
# The journal against a real browser: headless Chromium loads the simulated device's index page
# through the real program; then `quellor --journal` writes the program's journal, and its entries
# must be the requests the browser made, as the DevTools protocol saw them, and pass har-validator.
# The device answers in three pieces with pauses, so that the pictures queue for the line.
#   journal.sh QUELLOR DEVSIM NODE_MODULES_DIR
set -euo pipefail
quellor=$1 devsim=$2 modules=$3
here=$(cd "$(dirname "$0")" && pwd)
# Test-only dependencies, installed beside the build like puppeteer-core for the page test.
if [ ! -d "$modules/node_modules/puppeteer-core" ] || [ ! -d "$modules/node_modules/har-validator" ]; then
  mkdir -p "$modules"
  npm install --prefix "$modules" --no-audit --no-fund --silent puppeteer-core@24 har-validator@5 >/dev/null
fi
profile=$(mktemp -d /tmp/quellor-journal-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$profile"' EXIT
mkdir -p "$profile/config/NORVEL-Q/ports" "$profile/runtime" "$profile/chromium"
chmod 700 "$profile/runtime"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[RS]\nCOM=1\n[TCP]\nPort=%s\nDelay=100\n' "$port" > "$profile/config/NORVEL-Q/quellor.conf"
# COM1 leads nowhere until the simulator points it at its line: unmapped, it would be a real port.
link="$profile/config/NORVEL-Q/ports/COM1"
ln -s /nonexistent/quellor-journal/COM1 "$link"
"$devsim" --pieces 3 --pause 150 --port "device:$link" >/dev/null &
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
export XDG_CONFIG_HOME="$profile/config" XDG_RUNTIME_DIR="$profile/runtime"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$quellor" 2>"$profile/quellor.log" &
for _ in $(seq 50); do grep -q "TCP: Listen" "$profile/quellor.log" && break; sleep 0.1; done
NODE_PATH="$modules/node_modules" node "$here/journal.mjs" "http://127.0.0.1:$port" "$profile/chromium" "$quellor" \
  "$profile/journal.har"
