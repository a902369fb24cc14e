#!/usr/bin/env bash
# The launcher's main job, end to end on this machine: a small sample installation is published to a local
# CDN served by nginx on 127.0.0.1:8443 (HTTPS with a CA made here), and zantho.exe, alone in a fresh
# installation directory, brings it up to date and starts the (stand-in) client.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-packages.sh"
build="$root/build/plain"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/zantho-demo.XXXXXX)
chmod 755 "$work"
image="$work/image" cdn="$work/cdn" install="$work/install" certs="$work/certs"
mkdir -p "$image/bin" "$image/data" "$cdn" "$install" "$certs" "$work/nginx/logs"

nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -s quit 2>/dev/null || true
  fi
}
trap cleanup EXIT

echo "== sample installation image"
cp "$build/zantho.exe" "$image/"
cp "$build/standins/zanthoui.exe" "$build/standins/ZanthoClientService.exe" "$image/"
cp "$build/standins/bin/quillon.dll" "$image/bin/"
echo "zantho games sample data" >"$image/data/readme.txt"
head -c 4000000 /dev/urandom >"$image/data/assets.bin"
(cd "$image" && find . -type f | sort)

echo "== local CA and server certificate for 127.0.0.1"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zantho demo CA" \
  -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$certs/san.ext"
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
  -days 2 -extfile "$certs/san.ext" -out "$certs/server.pem" 2>/dev/null

echo "== publishing to the CDN tree"
"$build/tools/zantho_publish" --image "$image" --out "$cdn" --cdndomain 127.0.0.1:8443 \
  --package "programs.zip=zantho.exe,zanthoui.exe,ZanthoClientService.exe,bin" --package "data.zip=*"
(cd "$cdn" && find . -type f | sort)

cat >"$work/nginx/nginx.conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/logs/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:8443 ssl;
    ssl_certificate $certs/server.pem;
    ssl_certificate_key $certs/server.key;
    root $cdn;
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf"
nginx_pid=$(cat "$work/nginx/nginx.pid")
echo "== nginx serves https://127.0.0.1:8443/ (pid $nginx_pid)"

echo "== running zantho.exe in $install"
cp "$build/zantho.exe" "$install/"
run=(./zantho.exe)
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a ./zantho.exe)
set +e
(cd "$install" && ZANTHO_PLATFORM_DIR="$work/platform" CURL_CA_BUNDLE="$certs/ca.pem" "${run[@]}" \
  >"$work/stdout.txt" 2>"$work/stderr.txt")
code=$?
set -e

echo "== the log (logs/update)"
cat "$install/logs/update"
echo "== the files installed"
(cd "$install" && find . -type f -not -path './packages/*' -not -path './logs/*' | sort)
echo "== what the client programs recorded"
for f in zanthoui.calls quillon.calls service_log.txt; do
  [ -f "$install/$f" ] && { echo "-- $f"; cat "$install/$f"; }
done
echo "== exit code: $code"
echo "(work directory: $work)"
