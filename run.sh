#!/usr/bin/env bash
# Installs what is missing, builds, and runs the program.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target quellor
exec ./build/src/quellor "$@"
