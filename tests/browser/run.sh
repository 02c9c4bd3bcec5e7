#!/usr/bin/env bash
# A real browser (headless Chromium, driven through the DevTools protocol) loads the simulated
# device's index page through the real program, headless and in a private profile. The device
# answers in three pieces with pauses longer than the send delay, as a slow device does, unless
# QUELLOR_DEVSIM_ARGS says otherwise. QUELLOR_DIRECT=1 loads the page from the device served directly
# over TCP instead, as a floor for the page-load benchmark.
#   run.sh QUELLOR DEVSIM NODE_MODULES_DIR [framing]
set -euo pipefail
quellor=$1 devsim=$2 modules=$3 framing=${4:-1}
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$modules/node_modules/puppeteer-core" ]; then
  mkdir -p "$modules"
  npm install --prefix "$modules" --no-audit --no-fund --silent puppeteer-core@24 >/dev/null
fi
profile=$(mktemp -d /tmp/quellor-browser-XXXXXX)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$profile"' EXIT
mkdir -p "$profile/config/NORVEL-Q/ports" "$profile/runtime" "$profile/chromium"
chmod 700 "$profile/runtime"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[RS]\nCOM=1\n[TCP]\nPort=%s\nDelay=100\nFraming=%s\n' "$port" "$framing" > "$profile/config/NORVEL-Q/quellor.conf"
if [ "${QUELLOR_DIRECT:-0}" = 1 ]; then
  "$devsim" --tcp "$port" >/dev/null &
  sleep 0.3
  NODE_PATH="$modules/node_modules" node "$here/page.mjs" "http://127.0.0.1:$port" "$profile/chromium"
  exit
fi
# COM1 leads nowhere until the simulator points it at its line: unmapped, it would be a real port.
link="$profile/config/NORVEL-Q/ports/COM1"
ln -s /nonexistent/quellor-browser/COM1 "$link"
# shellcheck disable=SC2086
"$devsim" ${QUELLOR_DEVSIM_ARGS---pieces 3 --pause 150} --port "device:$link" >/dev/null &
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$profile/config" XDG_RUNTIME_DIR="$profile/runtime" \
  "$quellor" 2>"$profile/quellor.log" &
for _ in $(seq 50); do grep -q "TCP: Listen" "$profile/quellor.log" && break; sleep 0.1; done
NODE_PATH="$modules/node_modules" node "$here/page.mjs" "http://127.0.0.1:$port" "$profile/chromium"
