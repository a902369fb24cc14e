#!/usr/bin/env bash
# A package holding one ZIP64 entry of 4,294,979,641 bytes (zeros: a few MB deflated, made by Python's zipfile)
# between two small ones. The extraction stages it whole, or refuses the package with nothing of it staged; a cut
# file is a failure. Debian's minizip on 64-bit Linux takes no size from a ZIP64 extra field (it stops reading at
# 4 GiB less one byte), so the Linux build refuses such a package; the Windows library reads it whole.
# Too slow for the suite (the package takes about 10 s to make, the entry writes 4.3 GB); tools/test.sh runs it.
# Usage: bench/large_entry_bench.sh [build dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/plain}
bin=$build/bench/extract_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/large-entry-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
size=4294979641

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

mkdir -p "$work/app/packages"
start=$(now)
python3 - "$work/app/packages/set.zip" "$size" <<'EOF'
import sys, zipfile
path, size = sys.argv[1], int(sys.argv[2])
block = bytes(1 << 24)
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    z.writestr("first.txt", b"before the large entry\n")
    with z.open("assets/large.bin", "w", force_zip64=True) as f:
        while size:
            n = min(size, len(block))
            f.write(block[:n])
            size -= n
    z.writestr("last.txt", b"after the large entry\n")
EOF
echo "package of $(stat -c %s "$work/app/packages/set.zip") bytes made in $(elapsed "$start" "$(now)") s"

start=$(now)
if "$bin" extract "$work/app" >/dev/null 2>&1; then
  took=$(elapsed "$start" "$(now)")
  staged=$work/app/packages/tmp/assets/large.bin
  if [ "$(stat -c %s "$staged")" != "$size" ] || ! cmp -s -n "$size" "$staged" /dev/zero ||
    [ ! -f "$work/app/packages/tmp/last.txt" ]; then
    echo "FAILED: the extraction reported success with the entry not staged whole" >&2
    exit 1
  fi
  echo "staged whole in $took s"
else
  took=$(elapsed "$start" "$(now)")
  if [ -n "$(ls -A "$work/app/packages/tmp")" ]; then
    echo "FAILED: the package was refused with files of it staged:" >&2
    find "$work/app/packages/tmp" -type f -printf '%P %s\n' >&2
    exit 1
  fi
  echo "refused in $took s with nothing staged (this build's minizip reads no ZIP64 sizes)"
fi
