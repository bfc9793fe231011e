#!/usr/bin/env bash
# Installs what is needed, builds Ferrule and runs its whole test suite.
# Exits non-zero when anything fails, a ThreadSanitizer report in the threaded code included.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages
configure_and_build build
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300

# ThreadSanitizer stage: the serial component's reader and writer threads, built in a tree of
# their own with only the serial tests in it. Any report fails the script.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DFERRULE_WERROR=ON -DFERRULE_TSAN=ON
cmake --build "$root/build-tsan" --target serial_tests --parallel "$(nproc)"
TSAN_OPTIONS="halt_on_error=1 exitcode=66" QT_QPA_PLATFORM=offscreen \
  "$root/build-tsan/tests/serial/serial_tests"
