#!/usr/bin/env bash
# Times whole ferrule-cli runs of 1, 4 and 8 simulated modules at once (CORVEL through the loader
# program at 921600 bit/s, each module an rq53sim process on a pseudo-terminal paced at the line
# rate) and prints a table: the wall time of the ferrule-cli process, its ratio to the time of one
# module, and the slowest port's own seconds. Usage: tools/bench_cli.sh [BUILD_DIR] [REPEATS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
repeats=${2:-3}
cli=$build/app/ferrule-cli
sim=$build/tools/rq53sim/rq53sim
work=$(mktemp -d)
pids=()
stop_modules() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait "${pids[@]}" 2>/dev/null || true
  pids=()
}
trap 'stop_modules; rm -rf "$work"' EXIT

# run_once N: prints the wall seconds of one ferrule-cli run over N fresh modules and the slowest
# port's own seconds.
run_once() {
  local n=$1 args=() i
  for ((i = 0; i < n; i++)); do
    "$sim" --efuse "$(printf '%02x' $((0x40 + i)))400000,00001234,0,0" >"$work/port$i" &
    pids+=($!)
  done
  for ((i = 0; i < n; i++)); do
    until [ -s "$work/port$i" ]; do sleep 0.01; done
    args+=(--port "$(head -1 "$work/port$i")")
  done
  local start end
  start=$(date +%s.%N)
  "$cli" --firmware CORVEL "${args[@]}" --config "$work/config" --json >"$work/out.json"
  end=$(date +%s.%N)
  stop_modules
  rm -f "$work"/port*
  local slowest
  slowest=$(python3 -c 'import json,sys; print(max(json.loads(l)["seconds"] for l in open(sys.argv[1]) if json.loads(l).get("event") == "result"))' "$work/out.json")
  echo "$(echo "$end - $start" | bc) $slowest"
}

printf '| modules at once | ferrule-cli run (s), median of %s | ratio to one module | slowest port (s) |\n' "$repeats"
printf '|---|---|---|---|\n'
one=""
for n in 1 4 8; do
  runs=()
  for ((r = 0; r < repeats; r++)); do runs+=("$(run_once "$n")"); done
  read -r median slowest < <(printf '%s\n' "${runs[@]}" | sort -n | sed -n "$(((repeats + 1) / 2))p")
  [ -z "$one" ] && one=$median
  printf '| %d | %.2f | %.3f | %.2f |\n' "$n" "$median" "$(echo "$median / $one" | bc -l)" "$slowest"
done
