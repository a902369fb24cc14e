#!/usr/bin/env bash
# Installs what the suite needs, then builds and runs it three times: plain, under ASan + UBSan, and a Release
# build with clang (warnings are errors here); then the Windows build and its suites under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-packages.sh"
jobs=$(nproc)

run_suite() {
  local build=$1 type=$2; shift 2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="$type" -DZANTHO_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
  # The dialog tests need a display: Xvfb on a free display number, stopped when ctest ends. Without -noreset
  # the server resets whenever its last client leaves, and a test that connects meanwhile finds no display.
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp -noreset" \
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600
}

run_suite "$root/build/plain" RelWithDebInfo
# A package entry over 4 GiB: staged whole or refused with nothing staged, never cut.
"$root/bench/large_entry_bench.sh" "$root/build/plain"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS=suppressions=$root/tools/lsan.supp:print_suppressions=0 \
  run_suite "$root/build/sanitize" RelWithDebInfo -DZANTHO_SANITIZE=ON
CC=clang CXX=clang++ run_suite "$root/build/clang" Release

ZANTHO_LINUX_BUILD="$root/build/plain" "$root/tools/test-windows.sh" "$root/build/windows"
