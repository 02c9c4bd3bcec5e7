#!/usr/bin/env bash
# Page-load time of the simulated device's index page in headless Chromium through Quellor,
# framing on and off, with a device that answers at once, against the same device served directly
# over TCP. Run after a build.
#   bench/page-load.sh [runs]
set -euo pipefail
usage="Usage: bench/page-load.sh [RUNS]
Loads the simulated device's index page RUNS times (default 5) in headless Chromium through
Quellor with framing on, with framing off, and directly over TCP, and prints each load time."
case "${1:-}" in
  -h | --help) echo "$usage"; exit 0 ;;
esac
if [ $# -gt 1 ] || { [ $# -eq 1 ] && ! [[ $1 =~ ^[1-9][0-9]*$ ]]; }; then
  echo "page-load.sh: unknown argument '${*: -1}'" >&2
  echo "$usage" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
runs=${1:-5}
for framing in 1 0; do
  for _ in $(seq "$runs"); do
    QUELLOR_DEVSIM_ARGS="" tests/browser/run.sh build/src/quellor build/tools/devsim/quellor-devsim build/npm "$framing" |
      sed -n "s/^page loaded in \([0-9]*\) ms$/framing $framing: \1 ms/p"
  done
done
for _ in $(seq "$runs"); do
  QUELLOR_DIRECT=1 tests/browser/run.sh build/src/quellor build/tools/devsim/quellor-devsim build/npm |
    sed -n "s/^page loaded in \([0-9]*\) ms$/direct over TCP: \1 ms/p"
done
