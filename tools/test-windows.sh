#!/usr/bin/env bash
# Builds the Windows programs (tools/build-windows.sh) and runs their suites under Wine, in a Wine prefix of this run's
# own that is ended and removed afterwards; then the end-to-end suite of the Linux build drives the Windows zantho.exe
# and its stand-ins under Wine (nginx, openssl and the shell stay on the Linux side).
# Usage: tools/test-windows.sh [BUILD_DIR]   (default build/windows; ZANTHO_LINUX_BUILD: the Linux build, default
# build/plain, whose e2e_tests is brought up to date)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
jobs=${ZANTHO_JOBS:-$(nproc)}
linux_build=$(realpath -m "${ZANTHO_LINUX_BUILD:-$root/build/plain}")
# With the launcher whose manifest lacks the UTF-8 code page too (no-utf8-manifest/zantho.exe, the same build tree).
"$root/tools/build-windows.sh" "$build" -DZANTHO_TEST_NO_UTF8_MANIFEST=ON >/dev/null
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Built every time (a no-op when up to date): an e2e_tests older than its sources tests what is no longer there.
cmake --build "$linux_build" -j"$jobs" --target e2e_tests >/dev/null
# A call of its own: a build directory made before the tool server existed learns of it in the call above.
cmake --build "$linux_build" -j"$jobs" --target linux_tool_server >/dev/null

wine_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
WINEPREFIX=$(mktemp -d /tmp/zantho-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko: the suites need neither, and asking for them would hold up the prefix's start.
export WINEDLLOVERRIDES="mscoree,mshtml="
tools_pid=
# The tool server stops every nginx it started before it ends.
stop_tool_server() {
  if [ -n "$tools_pid" ]; then kill -TERM "$tools_pid" 2>/dev/null || true; wait "$tools_pid" 2>/dev/null || true; fi
  tools_pid=
}
xvfb_pid=
display_file=$(mktemp /tmp/zantho-wine-display.XXXXXX)
cleanup() {
  stop_tool_server
  "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$display_file"
}
trap cleanup EXIT
# The prefix's server and its own processes (the service manager among them) stay up for the whole run, so each
# test program finds them already there.
# The prefix's first process boots it by itself; "wineboot -i" on top of that starts a second service manager, and
# each client then reaches one of the two at random (a service made through one is missing or stale in the other).
# One display for the prefix's whole life: its desktop process starts with the boot below and keeps the display it
# found then; booted without one, no later program of the prefix can make a window (DialogBox gives -1).
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$display_file")
"$wineserver" -p
"$wine_loader" wineboot -u >/dev/null 2>&1
# Xvfb has no window manager: Wine's X11 driver would wait 2 s for one each time it hides a managed window (each
# EndDialog took 2.01 s). Unmanaged, the windows behave as before and hide at once.
"$wine_loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# The Windows test programs run nginx, openssl and python3 through it (Wine cannot wait for a Linux program it starts).
"$linux_build/tests/support/linux_tool_server/linux_tool_server" "$WINEPREFIX/linux-tools.port" &
tools_pid=$!
for _ in $(seq 100); do [ -f "$WINEPREFIX/linux-tools.port" ] && break; sleep 0.1; done
ZANTHO_LINUX_TOOLS=127.0.0.1:$(cat "$WINEPREFIX/linux-tools.port")

# What cannot run under Wine is listed, each with its reason, in tools/windows-test-exclusions.txt.
excluded=$(sed -e 's/ # .*//' -e '/^#/d' -e '/^[[:space:]]*$/d' "$root/tools/windows-test-exclusions.txt" | paste -sd:)
status=0
# Each test program runs whole, one after another: a Wine process takes seconds to start, and the named objects,
# the services and the process list are those of the one Wine prefix.
export ZANTHO_BUILD_DIR="$build"
while read -r program; do
  echo "== ${program#"$build"/}"
  ZANTHO_LINUX_TOOLS=$ZANTHO_LINUX_TOOLS ZANTHO_TEST_HOST=localhost \
    timeout 900 "$wine_loader" "$program" --gtest_filter="-$excluded" --gtest_brief=1 || status=1
done < <(find "$build" -name '*_tests.exe' | sort)
# Before the end-to-end suite, whose last check counts any program of the build still running as left behind.
stop_tool_server

# The dialog in each language: Wine takes the UI language from the Unix locale. Screenshots in $build/artifacts/.
for locale in en_US.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8; do
  echo "== dialog in $locale"
  LANG=$locale LC_ALL=$locale \
    timeout 300 "$wine_loader" "$build/platform/platform_tests.exe" --gtest_filter='Win32Dialog.*:Win32Language.*' \
    --gtest_brief=1 || status=1
done

# The end-to-end cases that run under Wine. Left to the Linux build:
#   RemovalTakesAListedNameThatBecameALinkAsTheLink: Wine shows a Unix link to a directory as a plain directory,
#     not as a reparse point, so there is no junction to remove as such;
#   AProgramDirectoryLongerThanTheUsualLimitIsTheOneUsed: Wine cannot give a process a working directory longer than
#     260 characters ("could not open working directory", it starts in the Windows directory);
#   AStartWhileTheClientServiceRunsStillRepairs: reads the POSIX service manager's records, and names the server by
#     its address, which Schannel cannot match against a certificate;
#   KillPointE2E.*: traces the POSIX launcher.
e2e_cases=(
  BackgroundModeDownloadsThePackagesAndStartsNothing
  BackgroundModeWithTheIndexHostUnreachableFailsAfterFourAttempts
  RemovalDeletesTheListedPathsPackagesAndTheOldLauncher
  ANonAsciiProgramDirectoryIsTheOneUsed
  ANonAsciiProgramDirectoryIsInstalledAndStartedInTheDefaultMode
  DefaultModeOnAnIntactInstallationStartsTheClient
  DefaultModeRepairsADamagedInstallationAndReplacesItself
  DefaultModeFillsAnEmptyInstallationAndStartsTheClientWithTheGameId
  PrecheckZeroRunsOnlyTheServiceStep
  AFailedUpdateStillStartsTheClientAndEndsWithTheDialogsResult
  MissingRuntimeIsReportedAndNotCalled
  MissingClientUiShowsTheStartFailureAndSkipsTheRuntime
  ASecondLauncherFindsTheMutexTaken
  DefaultModeHandsOverToARunningClientWithTheGameId
  DefaultModeHandsOverToAnotherRunningLauncher
  WaitModeGivesUpWhileTheClientKeepsRunning
  WaitModeGoesOnOnceTheClientHasEnded
  AKilledDownloadResumesOnTheNextRun
  AnUpdateOfTheServiceProgramWhileTheServiceRunsIsInstalled
  DefaultModeWithDeepMetadataFailsTheUpdateAndStartsTheClient
)
e2e_pattern="^(LauncherE2E\\.($(IFS='|'; echo "${e2e_cases[*]}"))|Places/DeepJsonE2E\\..*)\$"
# Under Wine a watcher in the prefix (standins/window_watcher.exe) records the dialog and answers the message boxes,
# which it knows by their English captions: the cases run in English.
# One after another: the named objects and the process list are those of the one Wine prefix; each case ends every
# Wine process of the prefix when it is over (the service its service manager started among them).
# A failed case runs once more: under Wine a -b run now and then fails its index fetch with 18 in every attempt
# (about 1 in 10 runs of one case, not seen on Linux, cause not found); a second failure fails the suite.
LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 \
  ZANTHO_PROGRAM_DIR="$build" ZANTHO_PROGRAM_RUNNER="$wine_loader" ZANTHO_PROGRAM_SUFFIX=.exe ZANTHO_TEST_HOST=localhost \
  ZANTHO_PROGRAM_CLEANUP="$wineserver -k" \
  ctest --test-dir "$linux_build" --output-on-failure -j1 --timeout 600 --repeat until-pass:2 -R "$e2e_pattern" || status=1

# A program directory named in Chinese with the launcher as Windows before 10 1903 runs it, which ignores the
# manifest's UTF-8 code page: the narrow calls would read the UTF-8 paths in the ANSI code page (1252 in English,
# 936 in Chinese). In Chinese no message box is answered: these cases show none unless they fail.
for locale in en_US.UTF-8 zh_CN.UTF-8; do
  echo "== Chinese program directory, manifest without the UTF-8 code page, $locale"
  LANG=$locale LC_ALL=$locale ZANTHO_LAUNCHER="$build/no-utf8-manifest/zantho.exe" \
    ZANTHO_PROGRAM_DIR="$build" ZANTHO_PROGRAM_RUNNER="$wine_loader" ZANTHO_PROGRAM_SUFFIX=.exe \
    ZANTHO_TEST_HOST=localhost ZANTHO_PROGRAM_CLEANUP="$wineserver -k" \
    ctest --test-dir "$linux_build" --output-on-failure -j1 --timeout 600 --repeat until-pass:2 \
    -R '^LauncherE2E\.ANonAsciiProgramDirectoryIs(TheOneUsed|InstalledAndStartedInTheDefaultMode)$' || status=1
done
exit $status
