#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program beside a simulated device, in a private
# profile (build/demo-profile) whose COM1 is the simulated port: browse http://localhost:24111.
# Ending the program (or Ctrl-C) stops both.
#   ./run.sh --real   runs the program alone, with your own settings and ports
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target quellor quellor-devsim
if [ "${1:-}" = "--real" ]; then
  exec ./build/src/quellor
fi
profile="$PWD/build/demo-profile"
mkdir -p "$profile/config/NORVEL-Q/ports" "$profile/runtime"
chmod 700 "$profile/runtime"
# COM1 leads nowhere until the simulator points it at its line: unmapped, it would be a real port.
link="$profile/config/NORVEL-Q/ports/COM1"
ln -sfn /nonexistent/quellor-demo/COM1 "$link"
./build/tools/devsim/quellor-devsim --port "device:$link" &
devsim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
echo "Simulated device on COM1; open http://localhost:24111 in a browser."
XDG_CONFIG_HOME="$profile/config" XDG_RUNTIME_DIR="$profile/runtime" ./build/src/quellor &
quellor=$!
trap 'kill "$quellor" 2>/dev/null || true' INT TERM
wait "$quellor" || true
kill "$devsim" 2>/dev/null || true
wait "$devsim" 2>/dev/null || true
