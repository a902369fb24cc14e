#!/usr/bin/env bash
# Installs what the suite needs, then builds and runs it twice: plain, and under ASan + UBSan; then the Windows
# build and its suites under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-packages.sh"
jobs=$(nproc)

run_suite() {
  local build=$1; shift
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
  # The dialog tests need a display: Xvfb on a free display number, stopped when ctest ends.
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600
}

run_suite "$root/build/plain"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
  run_suite "$root/build/sanitize" -DZANTHO_SANITIZE=ON

ZANTHO_LINUX_BUILD="$root/build/plain" "$root/tools/test-windows.sh" "$root/build/windows"
