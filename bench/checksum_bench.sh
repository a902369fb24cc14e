#!/usr/bin/env bash
# Builds checksum_bench and runs it on a 1 GiB file held in the page cache: md5_file_print against OpenSSL's
# EVP MD5 and crc32_file against zlib's crc32(), in alternation. Usage: bench/checksum_bench.sh [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/plain
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target checksum_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 1073741824 /dev/urandom >"$work/checksum_bench.bin"
cat "$work/checksum_bench.bin" >/dev/null  # into the page cache
cd "$work"
"$build/bench/checksum_bench" checksum_bench.bin "${1:-7}" | grep -v '^aaaMD5'
