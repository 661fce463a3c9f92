#!/usr/bin/env bash
# Builds the stand-in's libFuzzer targets with clang in a build folder of their
# own (inside the test build folder, so a second run only rebuilds what
# changed) and runs each a few seconds on the committed corpus. A crash, a
# sanitizer report or a leak fails the test. Skipped when clang is missing.
set -euo pipefail
build=${1:?build folder}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${LECTORA_FUZZ_SECONDS:-5}

if ! command -v clang++ >/dev/null 2>&1 || ! command -v clang >/dev/null 2>&1; then
  echo "clang not found: fuzz smoke run skipped"
  exit 0
fi

fuzz_build="$build/fuzz-smoke"
cmake -S "$source_dir" -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLECTORA_FUZZ=ON -DLECTORA_GUI=OFF --log-level=WARNING >/dev/null
cmake --build "$fuzz_build" -j2 --target fuzz_packets fuzz_batch fuzz_tls >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in fuzz_packets fuzz_batch fuzz_tls; do
  corpus="$source_dir/server/fuzz/corpus/${target#fuzz_}"
  [ -d "$corpus" ] || { echo "missing corpus $corpus"; exit 1; }
  # New inputs go to a scratch copy: the committed corpus is never written.
  mkdir -p "$work/$target"
  cp -r "$corpus/." "$work/$target/"
  if ! (cd "$work" && "$fuzz_build/server/fuzz/$target" "$work/$target" \
          -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
          >"$work/$target.log" 2>&1); then
    echo "FAIL $target"
    tail -n 60 "$work/$target.log"
    ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null || true
    status=1
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$' || echo '?')
    echo "ok   $target: $runs inputs in ${seconds}s"
  fi
done
exit $status
