#!/usr/bin/env bash
# Installs what Ferrule needs on Debian 12, then configures and builds it in build/.
# Safe to run again: packages already present are not reinstalled.
# Usage: tools/setup.sh [extra cmake -D options...]
set -euo pipefail

# fonts-wqy-microhei: the window font falls back to it (the log's tooltip is Chinese).
PACKAGES=(cmake ninja-build g++ qt6-base-dev libqt6xml6 libqrencode-dev libgtest-dev libgmock-dev
          python3 zbar-tools fonts-wqy-microhei)
# The Debian package: dpkg-shlibdeps finds its dependencies; the check validates its desktop entry.
PACKAGES+=(dpkg-dev desktop-file-utils lintian)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# tools/screenshots.sh drives the window on a virtual display and takes its pictures.
PACKAGES+=(xvfb xdotool imagemagick)

# The loader program for the module's RAM: Debian's cross compiler for its core, the emulator its
# tests run in, zlib (inflate on the module, deflate and CRC-32 in the tool) and liblz4 (the
# compression measurement in tools/bench).
PACKAGES+=(gcc-xtensa-lx106 qemu-system-misc zlib1g-dev liblz4-dev)

# The fuzz targets build with clang; libFuzzer and the sanitizer runtimes come with libclang-rt.
PACKAGES+=(clang-14 libclang-rt-14-dev)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
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
  install_packages
  configure_and_build build "$@"
fi
