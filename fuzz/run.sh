#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer and runs them one after the other, each for half the time:
# the head reader's on fuzz/corpus, the HAR export's on fuzz/corpus-har.
#   fuzz/run.sh [SECONDS]   (default 600 in all); findings are written to build-fuzz/findings
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure-packages.sh clang
seconds=${1:-600}
half=$(( (seconds + 1) / 2 ))
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLOR_FUZZ=ON -DQUELLOR_TESTS=OFF >/dev/null
cmake --build build-fuzz --target quellor-fuzz-head quellor-fuzz-har
mkdir -p build-fuzz/corpus build-fuzz/corpus-har build-fuzz/findings
cp -n fuzz/corpus/* build-fuzz/corpus/
cp -n fuzz/corpus-har/* build-fuzz/corpus-har/
./build-fuzz/fuzz/quellor-fuzz-head -max_total_time="$half" -max_len=65536 -timeout=5 -rss_limit_mb=2048 \
  -artifact_prefix=build-fuzz/findings/head- build-fuzz/corpus
./build-fuzz/fuzz/quellor-fuzz-har -max_total_time="$half" -max_len=65536 -timeout=5 -rss_limit_mb=2048 \
  -artifact_prefix=build-fuzz/findings/har- build-fuzz/corpus-har
