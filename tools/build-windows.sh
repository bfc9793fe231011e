#!/usr/bin/env bash
# Builds Ferrule for 64-bit Windows on Debian 12: installs the cross compiler and the tools it
# needs, unpacks the Windows SDK (Qt and libqrencode built for mingw-w64) into /opt, or makes it
# with tools/build-winsdk.sh where no prebuilt archive is at hand, cross-builds into build-win/ and
# deploys dist/Ferrule-win64/ (Ferrule.exe and everything it needs beside it, stripped, with the
# licences in licenses/), dist/Ferrule-<version>-win64.zip of that folder and the installer
# dist/Ferrule-<version>-win64-setup.exe (NSIS, packaging/windows/ferrule.nsi). Only the programs
# are built; tools/test-windows.sh builds the test suites too.
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
STRIP=x86_64-w64-mingw32-strip

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
  # Built for size, unused functions and data left out: the program waits on the serial line,
  # not on its code, and the package stays small.
  cmake -S "$root" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DFERRULE_WERROR=ON \
    "-DCMAKE_CXX_FLAGS=-ffunction-sections -fdata-sections" \
    -DCMAKE_EXE_LINKER_FLAGS=-Wl,--gc-sections \
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
  cp "$qt"/plugins/platforms/qwindows.dll "$DIST/platforms/"
  cp "$qt"/plugins/styles/qwindowsvistastyle.dll "$DIST/styles/"
  cp "$qt"/plugins/imageformats/qgif.dll "$DIST/imageformats/"
  cp "${MINGW_RUNTIME[@]}" "$DIST/"
  find "$DIST" \( -name '*.exe' -o -name '*.dll' \) -exec "$STRIP" --strip-unneeded {} +
  cp "$BUILD/resources/generated/ferrule.ico" "$DIST/"
  cp "$root/README.md" "$DIST/README.md"
  deploy_licenses "$DIST/licenses"
  local zip=$root/dist/Ferrule-$(project_version)-win64.zip
  rm -f "$zip"
  # Deflate as any unzip reads it, made smaller by advzip's zopfli coder.
  (cd "$root/dist" && zip -qr -9 "$zip" Ferrule-win64)
  advzip -q -z -4 "$zip"
  echo "Deployed $DIST"
  print_size "$zip"
}

# deploy_licenses DIR: the licence of Ferrule and of every library the package carries, Debian's
# records of their sources' copyrights, and README.txt on which is which and where the sources are.
deploy_licenses() {
  local dir=$1
  mkdir -p "$dir"
  cp "$root/packaging/copyright" "$dir/Ferrule.txt"
  cp /usr/share/common-licenses/LGPL-3 "$dir/Qt-LGPL-3.txt"
  cp /usr/share/common-licenses/GPL-3 "$dir/GPL-3.txt"
  cp /usr/share/doc/libqt6core6/copyright "$dir/Qt-copyright.txt"
  cp "$SDK/qrencode-mingw64/COPYING" "$dir/libqrencode-LGPL-2.1.txt"
  cp /usr/share/doc/libz-mingw-w64/copyright "$dir/zlib.txt"
  cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$dir/mingw-w64.txt"
  sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/requirements of the license of GCC\.$/p' \
    /usr/share/doc/gcc-mingw-w64-base/copyright >"$dir/GCC-runtime-exception.txt"
  grep -q "No Weakening of GCC Copyleft" "$dir/GCC-runtime-exception.txt" ||
    { echo "The GCC Runtime Library Exception was not found in gcc-mingw-w64-base's copyright"; exit 1; }
  { cat "$root/packaging/windows/licenses-README.txt"
    dpkg-query -W -f='    ${binary:Package} ${Version}, from source package ${source:Package} ${source:Version}\n' \
      gcc-mingw-w64-x86-64-posix-runtime mingw-w64-x86-64-dev libz-mingw-w64-dev
  } >"$dir/README.txt"
  sed -i 's/$/\r/' "$dir"/*.txt  # Windows line ends
}

# make_installer: dist/Ferrule-<version>-win64-setup.exe of the deployed folder.
make_installer() {
  local version setup list=$BUILD/installer-uninstall.nsh
  version=$(project_version)
  setup=$root/dist/Ferrule-$version-win64-setup.exe
  # What the uninstaller removes: each file of the folder, then its folders, deepest first.
  (cd "$DIST" &&
    find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|Delete "$INSTDIR\\&"|' &&
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|RMDir "$INSTDIR\\&"|'
  ) >"$list"
  makensis -V2 -DVERSION="$version" -DDIST="$DIST" -DUNINSTALL_LIST="$list" \
    -DSIZE_KB="$(du -sk "$DIST" | cut -f1)" -DOUTFILE="$setup" "$root/packaging/windows/ferrule.nsi"
  print_size "$setup"
}

# print_size FILE: its name and size.
print_size() {
  stat -c '%s %n' "$1" | awk '{ printf "%s: %d bytes (%.2f MB)\n", $2, $1, $1 / 1e6 }'
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  install_packages "${RUN_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
  install_sdk
  build_windows -DFERRULE_BUILD_TESTS=OFF "$@"
  deploy
  make_installer
fi
