#!/usr/bin/env bash
# Fails when a process that the suite of this build started still runs after the tests: every test must end what
# it started. A process belongs to the suite when its environment carries the build directory that CTest gives
# every test, or when it runs a program of the build directory. Survivors are listed, then killed.
set -uo pipefail
# The check itself must not look like a process of the suite.
if [ -n "${ZANTHO_BUILD_DIR+set}" ]; then
  exec env -u ZANTHO_BUILD_DIR "$0" "$@"
fi
build=$1
grace_seconds=${2:-5}

leftovers() {
  {
    grep -lszxF "ZANTHO_BUILD_DIR=$build" /proc/[0-9]*/environ
    find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$build/*" 2>/dev/null
  } | cut -d/ -f3 | grep -vx "$$" | sort -u
}

# A process that is just ending (a waiter recording its program's exit) gets a moment.
deadline=$((SECONDS + grace_seconds))
while pids=$(leftovers) && [ -n "$pids" ] && [ $SECONDS -lt $deadline ]; do
  sleep 0.2
done
[ -z "$pids" ] && exit 0

echo "processes left behind by the tests:"
for pid in $pids; do
  echo "  $pid $(readlink "/proc/$pid/exe" 2>/dev/null) $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
done
kill -9 $pids 2>/dev/null
exit 1
