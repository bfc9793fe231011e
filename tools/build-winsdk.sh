#!/usr/bin/env bash
# Makes the Windows SDK that tools/build-windows.sh builds against, from Debian 12's source
# packages, with Debian's mingw-w64 cross compiler (posix threads):
#   $SDK_PREFIX/mingw64-toolchain.cmake  the CMake toolchain file both libraries are built with
#   $SDK_PREFIX/qt6-mingw64/             Qt 6.4.2 (qt6-base): Core, Gui, Widgets, Xml, the
#                                        qwindows, qminimal, qwindowsvistastyle and qgif plugins
#   $SDK_PREFIX/qrencode-mingw64/        libqrencode 4.1.1, static
# Qt takes about half an hour on 2 cores; libqrencode a few seconds.
# Usage: tools/build-winsdk.sh [qrencode|qt]   (default: both)
# Sources come from ../shared/thirdparty when it is there, else through apt-get source with a
# sources list of this script's own, so that the machine's apt configuration stays untouched.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SDK_PREFIX=${SDK_PREFIX:-/opt/ferrule-winsdk}
WORK=${WINSDK_WORK:-$HOME/.cache/ferrule-winsdk-build}
THIRDPARTY=$root/../shared/thirdparty
TOOLCHAIN=$SDK_PREFIX/mingw64-toolchain.cmake
mkdir -p "$WORK" "$SDK_PREFIX"

# The whole toolchain file (Qt's qt.toolchain.cmake loads it by this absolute path).
write_toolchain() {
  cat > "$TOOLCHAIN" <<'CMAKE'
# CMake toolchain: Debian 12 mingw-w64 (posix threads) -> x86_64 Windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR           /usr/bin/${TOOLCHAIN_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${TOOLCHAIN_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
CMAKE
}

# apt_source ARGS...: apt-get source through a private deb-src list of Debian 12.
apt_source() {
  local apt=$WORK/apt
  mkdir -p "$apt/lists/partial" "$apt/sources.list.d"
  echo "deb-src http://deb.debian.org/debian bookworm main" > "$apt/sources.list.d/bookworm-src.list"
  local opts=(-o Dir::Etc::SourceParts="$apt/sources.list.d" -o Dir::Etc::SourceList=/dev/null
              -o Dir::State::Lists="$apt/lists")
  apt-get "${opts[@]}" update -q >/dev/null
  apt-get "${opts[@]}" source "$@"
}

build_qrencode() {
  local tarball=qrencode_4.1.1.orig.tar.bz2
  cd "$WORK"
  if [ ! -f "$tarball" ]; then
    if [ -f "$THIRDPARTY/$tarball" ]; then
      cp "$THIRDPARTY/$tarball" .
      (cd "$THIRDPARTY" && grep " $tarball\$" SHA256SUMS | sha256sum -c -) >/dev/null
    else
      apt_source --download-only qrencode=4.1.1-1
    fi
  fi
  rm -rf qrencode-4.1.1 && tar xjf "$tarball"
  cmake -S qrencode-4.1.1 -B qrencode-build -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_INSTALL_PREFIX="$SDK_PREFIX/qrencode-mingw64" \
    -DWITH_TOOLS=NO -DBUILD_SHARED_LIBS=OFF >/dev/null
  cmake --build qrencode-build
  cmake --install qrencode-build >/dev/null
  cp qrencode-4.1.1/COPYING "$SDK_PREFIX/qrencode-mingw64/"
}

build_qt() {
  local src=$WORK/src/qt6-base-6.4.2+dfsg
  if [ ! -d "$src" ]; then
    mkdir -p "$WORK/src" && (cd "$WORK/src" && apt_source qt6-base=6.4.2+dfsg-10)
  fi
  # Gui builds the DirectWrite font database only with direct2d, which is off; the windows
  # platform plugin must then not refer to it.
  sed -i 's|^#if QT_CONFIG(directwrite3)$|#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)|' \
    "$src/src/plugins/platforms/windows/qwindowsintegration.cpp"
  local bld=$WORK/build-qtbase
  cmake -G Ninja -S "$src" -B "$bld" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    -DCMAKE_INSTALL_PREFIX="$SDK_PREFIX/qt6-mingw64" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=ON -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_pkg_config=OFF -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_xml=ON \
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_printsupport=OFF \
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF \
    -DFEATURE_tabletevent=OFF \
    -DFEATURE_gif=ON -DFEATURE_png=ON -DFEATURE_jpeg=OFF -DFEATURE_ico=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_doubleconversion=OFF \
    -DFEATURE_freetype=OFF -DFEATURE_fontconfig=OFF \
    -DFEATURE_icu=OFF -DFEATURE_zstd=OFF -DFEATURE_glib=OFF -DFEATURE_androiddeployqt=OFF
  cmake --build "$bld" --parallel "$(nproc)"
  cmake --install "$bld" >/dev/null
}

# Notes on the Qt configuration: the +dfsg source lacks src/3rdparty/wintab, hence no tablet
# events and no direct2d plugin; INPUT_opengl=no is what -no-opengl means.
write_toolchain
case "${1:-all}" in
  qrencode) build_qrencode ;;
  qt) build_qt ;;
  all) build_qrencode; build_qt ;;
  *) echo "usage: $0 [qrencode|qt]" >&2; exit 2 ;;
esac
echo "Windows SDK in $SDK_PREFIX"
