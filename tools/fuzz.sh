#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs each one for a while.
# Usage: tools/fuzz.sh [SECONDS [TARGET...]]   (default: 600 seconds for every target)
# Every folder in tests/fuzz/corpus/ names a target and holds its seeds. A target grows its working
# corpus in build-fuzz/corpus/<target>/ and its log in build-fuzz/logs/<target>.log; an input that
# breaks it is kept in build-fuzz/findings/ and fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

seconds=${1:-600}
targets=("${@:2}")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ls "$root/tests/fuzz/corpus")
fi

install_packages "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
out="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$out" -G Ninja -DFERRULE_WERROR=ON -DFERRULE_FUZZ=ON
cmake --build "$out" --target "${targets[@]}" --parallel "$(nproc)"

mkdir -p "$out/findings" "$out/logs"
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t"
  log="$out/logs/$t.log"
  if "$out/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$out/findings/$t-" "$out/corpus/$t" "$root/tests/fuzz/corpus/$t" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$t: $runs runs, $(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)"
  else
    echo "$t: FAILED (log: $log)"
    tail -n 30 "$log"
    failed=1
  fi
done
exit $failed
