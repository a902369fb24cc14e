#!/usr/bin/env bash
# Builds the Windows dependencies static with mingw-w64 from Debian's source packages (libcurl with Schannel,
# libuv, minizip, GoogleTest) into a cache keyed by their versions, and prints the cache's prefix.
# zlib comes from libz-mingw-w64-dev; spdlog, fmt and RapidJSON are used header-only from their -dev packages;
# the suites' HTTP server, cpp-httplib, header-only from its source package.
# Usage: tools/windows-deps.sh   (ZANTHO_WINDOWS_DEPS_CACHE overrides /var/cache/zantho-windows-deps)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${ZANTHO_WINDOWS_DEPS_CACHE:-/var/cache/zantho-windows-deps}
jobs=${ZANTHO_JOBS:-4}
toolchain=$root/tools/mingw-w64-toolchain.cmake

# The version apt-get source fetches for a source package: the candidate, or the newest one the mirror still
# holds (a security update can be listed before it is on the mirror).
source_versions() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u -r -V
}
installed_version() {
  dpkg-query -W -f='${Version}' "$1"
}

key="curl-$(source_versions curl | head -1)_libuv1-$(source_versions libuv1 | head -1)"
key+="_zlib-$(installed_version libz-mingw-w64-dev)_googletest-$(installed_version googletest)"
key+="_cpp-httplib-$(source_versions cpp-httplib | head -1)"
# Raised when the way of building them changes.
recipe=2
key+="_gcc-$(x86_64-w64-mingw32-g++-posix -dumpversion)_recipe-$recipe"
prefix=$cache/${key//[^A-Za-z0-9._+-]/_}
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/tmp}/zantho-windows-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"

fetch() {
  local package=$1 version
  (
    cd "$work"
    for version in "" $(source_versions "$package"); do
      if apt-get source -qq "$package${version:+=$version}" >/dev/null 2>&1; then
        exit 0
      fi
    done
    echo "apt-get source $package failed: is there a deb-src entry?" >&2
    exit 1
  )
}

cmake_build() {
  local source=$1 build=$2; shift 2
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 \
    || { cat "$build.log" >&2; exit 1; }
  cmake --build "$build" -j"$jobs" >>"$build.log" 2>&1 && cmake --install "$build" >>"$build.log" 2>&1 \
    || { tail -50 "$build.log" >&2; exit 1; }
}

pids=()
for package in curl libuv1 zlib cpp-httplib; do
  fetch "$package" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid"
done

# libcurl: HTTP and HTTPS over Windows' own TLS, nothing else.
cmake_build "$(echo "$work"/curl-*/)" "$work/curl-build" \
  -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
  -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF -DCURL_BROTLI=OFF \
  -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_MANUAL=OFF -DCURL_ZLIB=ON \
  -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a

cmake_build "$(echo "$work"/libuv1-*/)" "$work/libuv-build" -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF

# minizip: zlib's contrib/minizip has no build file of its own for this; its three sources make the library.
minizip=$(echo "$work"/zlib-*/contrib/minizip)
mkdir -p "$work/minizip-build" "$prefix/include/minizip"
for f in ioapi unzip zip; do
  x86_64-w64-mingw32-gcc-posix -O2 -c "$minizip/$f.c" -o "$work/minizip-build/$f.o" \
    -I/usr/x86_64-w64-mingw32/include
  cp "$minizip/$f.h" "$prefix/include/minizip/"
done
cp "$minizip/crypt.h" "$prefix/include/minizip/"
x86_64-w64-mingw32-ar rcs "$prefix/lib/libminizip.a" "$work"/minizip-build/*.o

cmake_build /usr/src/googletest "$work/googletest-build" -Dgtest_force_shared_crt=ON

# The header-only libraries are linked in, not copied: only their include folders are needed.
for dir in spdlog fmt rapidjson; do
  ln -sfn "/usr/include/$dir" "$prefix/include/$dir"
done

# cpp-httplib's -dev package holds a header split off a library built for Linux; its source package has the whole
# header-only library (without OpenSSL here: the suites' TLS server stays on Linux).
cp "$(echo "$work"/cpp-httplib-*/)httplib.h" "$prefix/include/"

touch "$prefix/.complete"
echo "built the Windows dependencies in $(($(date +%s) - started)) s" >&2
echo "$prefix"
