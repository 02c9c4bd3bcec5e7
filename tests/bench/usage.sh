#!/usr/bin/env bash
# Every benchmark answers --help with its usage and status 0, and an argument it does not know
# with its usage and status 2, at once and without running.
#   usage.sh BENCH_BUILD_FOLDER BENCH_SOURCE_FOLDER
set -uo pipefail
shopt -s nullglob
benches=("$1"/bench-* "$2"/*.sh)
[ "${#benches[@]}" -gt 0 ] || { echo "no benchmarks in $1 or $2"; exit 1; }
failed=0
for bench in "${benches[@]}"; do
  [ -f "$bench" ] && [ -x "$bench" ] || continue
  name=$(basename "$bench")
  out=$(timeout 10 "$bench" --help 2>&1)
  status=$?
  if [ "$status" -ne 0 ] || ! grep -q "^Usage: " <<<"$out"; then
    echo "$name --help: status $status, printed: $out"
    failed=1
  fi
  for argument in --no-such-option 12x; do
    out=$(timeout 10 "$bench" "$argument" 2>&1 >/dev/null)
    status=$?
    if [ "$status" -ne 2 ] || ! grep -q "^Usage: " <<<"$out"; then
      echo "$name $argument: status $status, printed on standard error: $out"
      failed=1
    fi
  done
done
exit "$failed"
