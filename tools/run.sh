#!/usr/bin/env bash
# Installs what is needed, builds Ferrule and starts it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages
configure_and_build build
exec "$root/build/app/ferrule"
