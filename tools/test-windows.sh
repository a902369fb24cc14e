#!/usr/bin/env bash
# Builds the Windows programs (tools/build-windows.sh) and runs their suites under Wine, in a Wine prefix of this run's
# own that is ended and removed afterwards; then the end-to-end suite of the Linux build drives the Windows zantho.exe
# and its stand-ins under Wine (nginx, openssl and the shell stay on the Linux side).
# Usage: tools/test-windows.sh [BUILD_DIR]   (default build/windows; ZANTHO_LINUX_BUILD: the Linux build, default
# build/plain, whose e2e_tests is built when missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
jobs=${ZANTHO_JOBS:-$(nproc)}
linux_build=$(realpath -m "${ZANTHO_LINUX_BUILD:-$root/build/plain}")
"$root/tools/build-windows.sh" "$build" >/dev/null
if [ ! -x "$linux_build/tests/e2e_tests" ]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$linux_build" -j"$jobs" --target e2e_tests >/dev/null
fi

wine_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
WINEPREFIX=$(mktemp -d /tmp/zantho-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko: the suites need neither, and asking for them would hold up the prefix's start.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$wine_loader" wineboot -i >/dev/null 2>&1
"$wineserver" -w

# The suites' fixtures that start Linux programs (nginx, openssl, a shell) cannot do so from a Windows program:
# Wine starts a Linux program but gives no handle to wait on and no exit code.
linux_programs='Nginx|nginx'
status=0
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 600 -E "$linux_programs" || status=1

# One after another: the named objects and the process list are those of the one Wine prefix.
ZANTHO_PROGRAM_DIR="$build" ZANTHO_PROGRAM_RUNNER="$wine_loader" ZANTHO_PROGRAM_SUFFIX=.exe ZANTHO_TEST_HOST=localhost \
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
  ctest --test-dir "$linux_build" --output-on-failure -j1 --timeout 600 -R '^LauncherE2E\.' || status=1
exit $status
