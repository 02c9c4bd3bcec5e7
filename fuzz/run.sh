#!/usr/bin/env bash
# Builds the head reader's fuzz target with clang's libFuzzer and runs it.
#   fuzz/run.sh [SECONDS]   (default 600); findings are written to build-fuzz/findings
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure-packages.sh clang
seconds=${1:-600}
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLOR_FUZZ=ON -DQUELLOR_TESTS=OFF >/dev/null
cmake --build build-fuzz --target quellor-fuzz-head
mkdir -p build-fuzz/corpus build-fuzz/findings
cp -n fuzz/corpus/* build-fuzz/corpus/
./build-fuzz/fuzz/quellor-fuzz-head -max_total_time="$seconds" -max_len=65536 -timeout=5 -rss_limit_mb=2048 \
  -artifact_prefix=build-fuzz/findings/ build-fuzz/corpus
