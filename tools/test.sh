#!/usr/bin/env bash
# Installs what is needed, builds Ferrule and runs its whole test suite.
# Exits non-zero when anything fails, a ThreadSanitizer report in the threaded code included.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages

# ThreadSanitizer stage: the serial component's reader and writer threads, alone and talking to
# the simulated module, built in a tree of their own with only those tests in it. Any report
# fails the script.
tsan_targets=(serial_tests endtoend_tests)
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DFERRULE_WERROR=ON -DFERRULE_TSAN=ON
cmake --build "$root/build-tsan" --target "${tsan_targets[@]}" --parallel "$(nproc)"
for t in serial endtoend; do
  TSAN_OPTIONS="halt_on_error=1 exitcode=66" QT_QPA_PLATFORM=offscreen \
    "$root/build-tsan/tests/$t/${t}_tests" --gtest_brief=1
done

# The whole suite, last, so that its summary closes the output.
configure_and_build build
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300
