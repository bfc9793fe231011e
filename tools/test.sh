#!/usr/bin/env bash
# Installs what is needed, builds Ferrule and runs its whole test suite.
# Exits non-zero when anything fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages
configure_and_build build
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300
