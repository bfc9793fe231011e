#!/usr/bin/env bash
# Installs what is needed, builds Ferrule and runs its whole test suite.
# Exits non-zero when anything fails, a sanitizer report or a fuzzing finding included.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

stage() { echo "=== $1 ($(date +%T))"; }

# ThreadSanitizer stage: the serial component's reader and writer threads, alone and talking to
# the simulated module, and the simulator's own thread, built in a tree of their own with only
# those tests in it. Any report fails the script.
stage "ThreadSanitizer"
tsan_tests=(serial/serial_tests endtoend/endtoend_tests tools/test_rq53sim_pty)
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DFERRULE_WERROR=ON -DFERRULE_TSAN=ON
cmake --build "$root/build-tsan" --target "${tsan_tests[@]##*/}" --parallel "$(nproc)"
# Whole runs (a flashing worker waiting on Qt's blocking queued calls) stay out: Qt's own
# synchronisation is not instrumented, so ThreadSanitizer would report the hand-over as a race.
for t in "${tsan_tests[@]}"; do
  TSAN_OPTIONS="halt_on_error=1 exitcode=66" QT_QPA_PLATFORM=offscreen \
    "$root/build-tsan/tests/$t" --gtest_brief=1 --gtest_filter='-FlashStation.*'
done

# AddressSanitizer and UndefinedBehaviorSanitizer stage: the whole suite with leak checking; any
# report ends the test concerned with an error.
stage "AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build build-asan -DFERRULE_ASAN=ON
(cd "$root/build-asan" &&
  ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 exitcode=66" \
  UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" QT_QPA_PLATFORM=offscreen \
  ctest --output-on-failure --timeout 600)

# Each fuzz target runs for a short while from its seed corpus.
stage "Fuzzing smoke run"
bash "$root/tools/fuzz.sh" 20

# The Windows build under Wine: unit suites, the serial layer and port list on a simulated COM5,
# a whole flash run through the window (tools/test-windows.sh).
stage "Windows (Wine)"
configure_and_build build -DFERRULE_BUILD_TESTS=ON
bash "$root/tools/test-windows.sh"

# The whole suite, last, so that its summary closes the output.
stage "Test suite"
configure_and_build build -DFERRULE_BUILD_TESTS=ON
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300
