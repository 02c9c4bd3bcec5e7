#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; exits non-zero when any fails.
#   ./test.sh             the normal build
#   ./test.sh --sanitize  the AddressSanitizer/UndefinedBehaviorSanitizer build
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh socat chromium nodejs python3 curl
build=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  options=(-DCMAKE_BUILD_TYPE=Debug -DQUELLOR_SANITIZE=ON)
  # Qt and fontconfig keep caches until exit; leak reports would be theirs, not ours.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build"
# Most tests spend their time waiting on the program's limits, so four run side by side even on
# two cores; tests that need the cores run alone (RUN_SERIAL). Every process a test starts must
# be gone when ctest ends.
tools/run-in-session.sh ctest --test-dir "$build" --output-on-failure -j4
