#!/usr/bin/env bash
# Runs the download benchmark: our engine against the curl tool (one file at a time) and
# aria2c -x5 -s5 -k1M (its smallest piece size), all on one nginx over loopback, HTTP and HTTPS. Prints MB/s and ratios ours/reference.
# Usage: bench/download_bench.sh [rounds] (the data, 2 GiB, stays in $ZANTHO_BENCH_DIR or /tmp/zantho-download-bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZANTHO_BUILD:-$root/build/plain}
work=${ZANTHO_BENCH_DIR:-/tmp/zantho-download-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target download_bench >/dev/null
mkdir -p "$work"
report="$work/report.txt"
# The engine prints a line per request and libcurl its progress meter: keep them off the report.
"$build/bench/download_bench" "$work" "$report" "${1:-3}" >/dev/null 2>"$work/stderr.log" || status=$?
cat "$report"
exit "${status:-0}"
