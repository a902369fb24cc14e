#!/usr/bin/env bash
# Builds the launcher.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-packages.sh"
cmake -S "$root" -B "$root/build/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build/plain" -j"$(nproc)"
