#!/usr/bin/env bash
# Installs what Ferrule's development needs on Debian 12, then configures and builds everything
# (programs, tests, benchmarks, the simulated module) in build/.
# Safe to run again: packages already present are not reinstalled.
# Sourced by the other scripts for the package lists, install_packages and configure_and_build.
# Usage: tools/setup.sh [extra cmake -D options...]
set -euo pipefail

# Building and running the programs: compiler and build tools, Python (the build draws the
# pictures, makes the stand-in images and packs the loader program), Qt, libqrencode (the QR
# picture), zlib (deflate and CRC-32 in the tool), Debian's cross compiler for the core of the
# loader program that runs in the module's RAM, and the window font's fallback
# (fonts-wqy-microhei: the log's tooltip is Chinese).
RUN_PACKAGES=(cmake ninja-build g++ python3 qt6-base-dev libqrencode-dev zlib1g-dev
              gcc-xtensa-lx106 fonts-wqy-microhei)

# The whole test battery on top of that: GoogleTest, the QR reader the tests read pictures with,
# the emulator the loader program's tests run in, liblz4 (the compression benchmark), clang with
# libFuzzer and the sanitizer runtimes (fuzz targets), the Debian package's check (dpkg-shlibdeps
# finds its dependencies, its desktop entry is validated, lintian), and the virtual display the
# screenshots and the Windows window run are taken on.
TEST_PACKAGES=(libgtest-dev libgmock-dev zbar-tools qemu-system-misc liblz4-dev
               clang-14 libclang-rt-14-dev dpkg-dev desktop-file-utils lintian
               xvfb xdotool imagemagick)

# The Windows build and its packages: the cross compiler (with its strip), the static zlib, Qt's
# host tools of the Windows SDK's version (moc, rcc, uic), the zip and its recompressor, the
# installer's compiler and xz for the SDK archive.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev qt6-base-dev-tools zip advancecomp
                  nsis xz-utils)

# The Windows suites run under Wine.
WINDOWS_TEST_PACKAGES=(wine64)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_packages PACKAGE...: installs those that are still missing.
install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" -G Ninja -DFERRULE_WERROR=ON "$@"
  cmake --build "$root/$dir" --parallel "$(nproc)"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  install_packages "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
  configure_and_build build -DFERRULE_BUILD_TESTS=ON "$@"
fi
