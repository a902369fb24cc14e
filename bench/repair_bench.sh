#!/usr/bin/env bash
# A whole repair of an empty installation: zantho.exe in its default mode (the dialog, under Xvfb) against the
# same work done with standard tools (curl -Z fetching the zips five at a time, md5sum -c, bsdtar -xf, cp -r),
# on one published image of about 900 MB in 1,200 files and 8 packages, served by nginx over loopback (plain
# HTTP). Every round runs, after a sync each and in an order that turns from round to round: ours with the
# dialog, the tools, and ours with -b (the download alone). Ours is timed from its log, the tools one step at a
# time. Prints medians, minima and the ratios.
# Usage: bench/repair_bench.sh [rounds] [build dir] (the image stays in $ZANTHO_BENCH_DIR or
# /tmp/zantho-repair-bench; delete it to publish a new one; $ZANTHO_BENCH_EXE times another zantho.exe)
# With $ZANTHO_BENCH_WINDOWS naming a Windows build dir (tools/build-windows.sh), its zantho.exe and stand-ins run
# under Wine in a prefix of the script's own; the tools, the publisher and the image's data stay Linux ones.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
build=${2:-$root/build/plain}
windows=${ZANTHO_BENCH_WINDOWS:+$(realpath "$ZANTHO_BENCH_WINDOWS")}
# The build whose launcher and stand-ins are timed.
programs=${windows:-$build}
work=${ZANTHO_BENCH_DIR:-/tmp/zantho-repair-bench${windows:+-windows}}
exe=${ZANTHO_BENCH_EXE:-$programs/zantho.exe}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j4 --target zantho_exe zantho_publish repair_bench standin_zanthoui standin_quillon \
  standin_zantho_client_service >/dev/null

mkdir -p "$work"
chmod 755 "$work"
cdn=$work/cdn run=$work/run
xvfb_pid=""
runner=()
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# Ends, by pid, what the run started: nginx, Xvfb and the service program that the launcher's service step
# leaves running from the installation; under Wine, every process of the script's prefix.
stop_service_programs() {
  local exe
  if [ -n "$windows" ]; then
    [ -d "${WINEPREFIX:-}" ] && { "$wineserver" -k 2>/dev/null; "$wineserver" -w; } || true
    return 0
  fi
  for proc in /proc/[0-9]*; do
    exe=$(readlink "$proc/exe" 2>/dev/null) || continue
    case $exe in "$run/install/"*) kill "${proc#/proc/}" 2>/dev/null || true ;; esac
  done
}
stop_pid() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
}
cleanup() {
  stop_service_programs
  [ -s "$run/nginx/nginx.pid" ] && stop_pid "$(cat "$run/nginx/nginx.pid")"
  [ -n "$xvfb_pid" ] && stop_pid "$xvfb_pid"
  [ -n "$windows" ] && [ -d "${WINEPREFIX:-}" ] && rm -rf "$WINEPREFIX"
  rm -rf "$run"
}
trap cleanup EXIT

packages=(--package "programs.zip=zantho.exe,zanthoui.exe,ZanthoClientService.exe,bin")
for p in 0 1 2 3 4 5 6; do
  dirs=()
  for d in $(seq $((p * 40 / 7)) $(((p + 1) * 40 / 7 - 1))); do dirs+=("d$d"); done
  packages+=(--package "data$p.zip=$(IFS=,; echo "${dirs[*]}")")
done

if [ ! -f "$cdn/api/clients.json" ]; then
  echo "== publishing the image (once; kept in $work)"
  rm -rf "$work/image" "$cdn"
  "$build/bench/repair_bench" "$work/image"
  cp "$programs/zantho.exe" "$programs/standins/zanthoui.exe" "$programs/standins/ZanthoClientService.exe" \
    "$work/image/"
  mkdir -p "$work/image/bin"
  cp "$programs/standins/bin/quillon.dll" "$work/image/bin/"
  # The index reply names no CDN host: the configuration gives it, so the tree serves on any port.
  "$build/tools/zantho_publish" --image "$work/image" --out "$cdn" "${packages[@]}" >/dev/null
fi
zips=("$cdn"/*.zip)
echo "image: $(find "$work/image/" -type f | wc -l) files, $(du -sb "$work/image/" | cut -f1) bytes;" \
  "${#zips[@]} zips, $(cat "${zips[@]}" | wc -c) bytes"

rm -rf "$run"
mkdir -p "$run/nginx/logs" "$run/platform"
port=""
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 40000))
  nginx_conf=$run/nginx/nginx.conf
  cat >"$nginx_conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 4;
pid $run/nginx/nginx.pid;
error_log $run/nginx/logs/error.log;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $run/nginx/body;
  proxy_temp_path $run/nginx/proxy;
  fastcgi_temp_path $run/nginx/fastcgi;
  uwsgi_temp_path $run/nginx/uwsgi;
  scgi_temp_path $run/nginx/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$candidate;
    root $cdn;
  }
}
CONF
  if nginx -p "$run/nginx" -c "$nginx_conf" 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "nginx did not start" >&2; exit 1; }
base=http://127.0.0.1:$port

exec 3>"$run/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$run/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$run/display")

if [ -n "$windows" ]; then
  WINEPREFIX=$(mktemp -d /tmp/zantho-bench-wine.XXXXXX)
  # No Mono or Gecko: the launcher needs neither, and asking for them would hold up the prefix's start.
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  runner=("$(command -v wine64 || echo /usr/lib/wine/wine64)")
fi
# The prefix is booted before each run of ours, before its sync and outside the timed span; its server stays up
# until the run's service program is ended with it. Without a window manager, managed windows would wait 2 s for
# one each time they hide.
wine_up() {
  [ -n "$windows" ] || return 0
  "$wineserver" -p
  "${runner[@]}" wineboot -u >/dev/null 2>&1
  "${runner[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
# Seconds between the first log line ending in $2 and the first ending in $3.
log_span() {
  awk -v from="$2" -v to="$3" '
    function seconds(line) { split(substr(line, 13, 12), t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
    { sub(/\r$/, "") }
    $0 ~ (" " from "$") && !a { a = seconds($0) }
    $0 ~ (" " to "$") && !b { b = seconds($0) }
    END { if (a == "" || b == "") exit 1; printf "%.3f\n", b - a }' "$1"
}

fresh_install() {
  rm -rf "$run/install"
  mkdir -p "$run/install"
  cp "$exe" "$run/install/zantho.exe"
  printf '{"zantho":{"indexserver":"127.0.0.1:%s","server_protocol":"http","cdn_protocol":"http","cdn_domain":"127.0.0.1:%s"}}' \
    "$port" "$port" >"$run/install/config.json"
  sync
}

# Ours, in the given mode; fails unless the run ended as a successful one does.
run_ours() {
  wine_up
  fresh_install
  (cd "$run/install" && ZANTHO_PLATFORM_DIR="$run/platform" "${runner[@]}" ./zantho.exe "$@" \
    >stdout.txt 2>stderr.txt) || true
  log=$run/install/logs/update
  grep -q "end SYNC_ZIP" "$log" || { echo "run $* failed; its log:" >&2; cat "$log" >&2; exit 1; }
}

# The tools check what the manifest lists, as ours does.
(cd "$cdn" && for z in *.zip; do
  printf '%s  %s\n' "$(jq -r --arg f "$z" '.packages[] | select(.file == $f) | .checksum' \
    quembra_client_win32_manifest.json.*)" "$z"
done) >"$run/md5.txt"
urls=()
for z in "${zips[@]}"; do urls+=(-O "$base/$(basename "$z")"); done

declare -a whole sync_dialog sync_b unzip unzip_md5 unzip_x copy tools_whole tools_get tools_md5 tools_x tools_cp tools_cp_rm
repair_ours() {
  run_ours
  whole+=("$(log_span "$log" "begin SYNC_ZIP" "end COPY")")
  sync_dialog+=("$(log_span "$log" "begin SYNC_ZIP" "end SYNC_ZIP")")
  unzip+=("$(log_span "$log" "begin UNZIP" "end UNZIP")")
  # The step reads the manifest first, hashing every zip, then unpacks: the unpacking is what bsdtar does.
  unzip_md5+=("$(log_span "$log" "begin UNZIP" "all ${#zips[@]} file")")
  unzip_x+=("$(log_span "$log" "all ${#zips[@]} file" "end UNZIP")")
  copy+=("$(log_span "$log" "begin COPY" "end COPY")")
  cmp -s "$work/image/d39/file1199.bin" "$run/install/d39/file1199.bin" || { echo "repair incomplete" >&2; exit 1; }
  stop_service_programs
  rm -rf "$run/install"
}

repair_tools() {
  rm -rf "$run/ref"
  mkdir -p "$run/ref/packages/tmp"
  cp "$run/md5.txt" "$run/ref/packages/"
  sync
  t0=$(now)
  (cd "$run/ref/packages" && curl -sS --fail -Z --parallel-max 5 "${urls[@]}" 2>"$run/curl.log")
  t1=$(now)
  (cd "$run/ref/packages" && md5sum --quiet -c md5.txt)
  t2=$(now)
  for z in "$run/ref/packages"/*.zip; do bsdtar -xf "$z" -C "$run/ref/packages/tmp"; done
  t3=$(now)
  cp -r "$run/ref/packages/tmp/." "$run/ref/"
  t4=$(now)
  # Our copy step ends by removing the staging directory; cp -r alone does not.
  rm -rf "$run/ref/packages/tmp"
  t5=$(now)
  tools_whole+=("$(elapsed "$t0" "$t4")")
  tools_get+=("$(elapsed "$t0" "$t1")")
  tools_md5+=("$(elapsed "$t1" "$t2")")
  tools_x+=("$(elapsed "$t2" "$t3")")
  tools_cp+=("$(elapsed "$t3" "$t4")")
  tools_cp_rm+=("$(elapsed "$t3" "$t5")")
  rm -rf "$run/ref"
}

download_ours() {
  run_ours -b
  sync_b+=("$(log_span "$log" "begin SYNC_ZIP" "end SYNC_ZIP")")
  # The prefix's server is kept up by itself: it is ended here too, so the next run can boot it afresh.
  stop_service_programs
  rm -rf "$run/install"
}

# The order turns from round to round, so no side always follows the same one.
steps=(repair_ours repair_tools download_ours)
for ((round = 0; round < rounds; round++)); do
  for ((i = 0; i < ${#steps[@]}; i++)); do
    "${steps[(round + i) % ${#steps[@]}]}"
  done
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
show() {
  local -n runs=$2
  printf '%-36s median %7.3f s  best %7.3f s  (%s)\n' "$1" "$(median "${runs[@]}")" "$(best "${runs[@]}")" "${runs[*]}"
}
# Speed of ours against the reference: reference time / our time.
ratio() {
  local -n ours_runs=$2 ref_runs=$3
  printf '%-44s median %.2f  best %.2f  (goal %s)\n' "$1" \
    "$(echo "$(median "${ref_runs[@]}") / $(median "${ours_runs[@]}")" | bc -l)" \
    "$(echo "$(best "${ref_runs[@]}") / $(best "${ours_runs[@]}")" | bc -l)" "$4"
}

echo "rounds: $rounds; load: $(uptime | sed 's/.*load average: //')"
show "ours: whole repair (SYNC_ZIP..COPY)" whole
show "ours: download with the dialog" sync_dialog
show "ours: download with -b" sync_b
show "ours: extraction step (UNZIP)" unzip
show "ours:   its hashing of the zips" unzip_md5
show "ours:   its unpacking" unzip_x
show "ours: copy" copy
show "tools: whole (curl..cp)" tools_whole
show "tools: curl -Z --parallel-max 5" tools_get
show "tools: md5sum -c" tools_md5
show "tools: bsdtar -xf" tools_x
show "tools: cp -r" tools_cp
show "tools: cp -r, then rm -rf of the staging" tools_cp_rm
ratio "whole repair speed, ours/tools:" whole tools_whole ">= 0.83"
printf '%-44s median %.2f  best %.2f  (goal <= 1.15)\n' "download time, dialog/-b:" \
  "$(echo "$(median "${sync_dialog[@]}") / $(median "${sync_b[@]}")" | bc -l)" \
  "$(echo "$(best "${sync_dialog[@]}") / $(best "${sync_b[@]}")" | bc -l)"
ratio "copy speed, ours/cp -r:" copy tools_cp ">= 0.9"
ratio "(copy step)/(cp -r + rm -rf staging):" copy tools_cp_rm "-"
ratio "extraction speed, ours/bsdtar -xf:" unzip_x tools_x ">= 0.9"
ratio "(whole UNZIP step)/bsdtar -xf:" unzip tools_x "-"
