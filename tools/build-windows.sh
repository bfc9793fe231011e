#!/usr/bin/env bash
# Builds Ferrule for 64-bit Windows on Debian 12: installs the cross compiler and the tools it
# needs, unpacks the Windows SDK (Qt and libqrencode built for mingw-w64) into /opt, or makes it
# with tools/build-winsdk.sh where no prebuilt archive is at hand, cross-builds into build-win/ and
# deploys dist/Ferrule-win64/ (Ferrule.exe and everything it needs beside it) and
# dist/Ferrule-<version>-win64.zip of that folder.
# Usage: tools/build-windows.sh [extra cmake -D options...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

SDK=/opt/ferrule-winsdk
SDK_ARCHIVE=${FERRULE_WINSDK_ARCHIVE:-$root/../shared/winsdk/ferrule-winsdk-mingw64.tar.xz}
BUILD=$root/build-win
DIST=$root/dist/Ferrule-win64
MINGW_RUNTIME=(/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll
               /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc_s_seh-1.dll
               /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll)

# The cross compiler, Qt's host tools of the SDK's version (moc, rcc, uic), Wine for the tests.
PACKAGES+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev qt6-base-dev-tools wine64 zip xz-utils)

as_root() { if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi; }

install_sdk() {
  [ -f "$SDK/qt6-mingw64/lib/cmake/Qt6/qt.toolchain.cmake" ] && return 0
  if [ -f "$SDK_ARCHIVE" ]; then
    echo "Unpacking $SDK_ARCHIVE into /opt"
    as_root tar xJf "$SDK_ARCHIVE" -C /opt
  else
    echo "No prebuilt Windows SDK at $SDK_ARCHIVE: building it (about half an hour on 2 cores)"
    bash "$root/tools/build-winsdk.sh"
  fi
}

# build_windows [cmake options...]: configures and builds build-win/ (Ferrule.exe and the suites
# that run under Wine).
build_windows() {
  local launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
                                            -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFERRULE_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=$SDK/qt6-mingw64/lib/cmake/Qt6/qt.toolchain.cmake \
    -DCMAKE_PREFIX_PATH=$SDK/qrencode-mingw64 "${launcher[@]}" "$@"
  cmake --build "$BUILD" --parallel "$(nproc)"
}

# The version as the project declares it, e.g. 1.316.
project_version() {
  sed -n 's/^project(ferrule VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"
}

deploy() {
  local qt=$SDK/qt6-mingw64
  rm -rf "$DIST"
  mkdir -p "$DIST"/{platforms,styles,imageformats}
  cp "$BUILD/app/Ferrule.exe" "$DIST/"
  [ -f "$BUILD/app/ferrule-cli.exe" ] && cp "$BUILD/app/ferrule-cli.exe" "$DIST/"
  cp "$qt"/bin/Qt6{Core,Gui,Widgets,Xml}.dll "$DIST/"
  # qminimal runs the window headless, as the tests under Wine do.
  cp "$qt"/plugins/platforms/q{windows,minimal}.dll "$DIST/platforms/"
  cp "$qt"/plugins/styles/qwindowsvistastyle.dll "$DIST/styles/"
  cp "$qt"/plugins/imageformats/qgif.dll "$DIST/imageformats/"
  cp "${MINGW_RUNTIME[@]}" "$DIST/"
  cp "$root/README.md" "$DIST/README.md"
  cp "$SDK/qrencode-mingw64/COPYING" "$DIST/COPYING.libqrencode.txt"
  local zip=$root/dist/Ferrule-$(project_version)-win64.zip
  rm -f "$zip"
  (cd "$root/dist" && zip -qr "$zip" Ferrule-win64)
  echo "Deployed $DIST and $zip"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  install_packages
  install_sdk
  build_windows "$@"
  deploy
fi
