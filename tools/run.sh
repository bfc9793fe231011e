#!/usr/bin/env bash
# Installs what building and running the programs needs, builds ferrule and ferrule-cli (with the
# loader program they carry, but no tests) in build/ and starts the window.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${RUN_PACKAGES[@]}"
configure_and_build build -DFERRULE_BUILD_TESTS=OFF
exec "$root/build/app/ferrule"
