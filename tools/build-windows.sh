#!/usr/bin/env bash
# Builds the launcher for Windows: installs the cross toolchain, Wine and Xvfb when missing, builds the dependencies
# (or takes them from their cache), then the project; zantho.exe lands at the top of BUILD_DIR, the test programs
# and the Windows stand-ins beside it.
# Usage: tools/build-windows.sh [BUILD_DIR [CMAKE_OPTION...]]   (default build/windows; the options go to the
# configuration, e.g. -DZANTHO_TEST_NO_UTF8_MANIFEST=ON)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/windows}")
shift $(($# > 0 ? 1 : 0))
jobs=${ZANTHO_JOBS:-$(nproc)}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# apt-get source needs a deb-src entry for the suite the machine installs from.
sources=/etc/apt/sources.list.d/zantho-deb-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | "${sudo_cmd[@]}" tee "$sources" >/dev/null
  "${sudo_cmd[@]}" apt-get update -qq
fi
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 dpkg-dev googletest
          ninja-build imagemagick libspdlog-dev libfmt-dev rapidjson-dev xvfb xauth locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine takes the user interface's language from the Unix locale: the dialog's tests run in these three.
for locale in en_US zh_CN zh_TW; do
  locale -a | grep -qx "$locale.utf8" ||
    "${sudo_cmd[@]}" localedef -i "$locale" -c -f UTF-8 -A /usr/share/locale/locale.alias "$locale.UTF-8"
done

deps=$("$root/tools/windows-deps.sh")
wine_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/tools/mingw-w64-toolchain.cmake" -DZANTHO_WINDOWS_DEPS="$deps" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$wine_loader" "$@" >/dev/null
cmake --build "$build" -j"$jobs"
echo "$build/zantho.exe"
