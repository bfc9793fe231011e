#!/usr/bin/env bash
# The production-line soak. Builds the soak program, then
#  (a) flashes RUNS simulated modules (default 50) one after another in one process, the log filled
#      to its bound of 100,000 lines first, and checks that every run succeeded, that open
#      descriptors and threads are back where they were, and that the settings folder holds one
#      complete record and one picture per run;
#  (b) runs two soak processes at once with one shared Config folder, each flashing its own
#      simulated module PAIR_RUNS times (default 5), and checks that "RQ53MAC.txt" holds every
#      record complete (four CR LF lines, none interleaved with another) and one picture per record.
# The heap in use (bytes the program holds, not those the allocator keeps) may not grow by more than
# 1 MB from the first run to the last in (a). Prints the figures and a summary; exits non-zero when
# a check fails.
# Usage: tools/soak.sh [RUNS [PAIR_RUNS]]    (BUILD_DIR=dir to use another build folder)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${1:-50}
pair_runs=${2:-5}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DFERRULE_WERROR=ON || exit 2
fi
cmake --build "$build" --target soak --parallel 2 || exit 2
soak=$build/tools/soak/soak

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()

# check_folder CONFIG_DIR SOAK_OUTPUT...: the records of the settings folder against the runs the
# outputs list (each run's station address is to be recorded exactly once).
check_folder() {
  python3 - "$@" <<'EOF'
import collections, os, re, sys

folder, outputs = sys.argv[1], sys.argv[2:]
problems = []
addresses = []
for output in outputs:
    for line in open(output, encoding="utf-8"):
        match = re.match(r"run\s+\d+\s+\S+ s\s+\S+\s+(\S+)", line)
        if match:
            addresses.append(match.group(1))

with open(os.path.join(folder, "RQ53MAC.txt"), "rb") as f:
    data = f.read()
if not data.endswith(b"\r\n"):
    problems.append("the file does not end with CR LF")
lines = data.split(b"\r\n")[:-1]
if any(b"\r" in line or b"\n" in line for line in lines):
    problems.append("a line ends without CR LF")
if len(lines) % 4:
    problems.append(f"{len(lines)} lines, not four per record")

hexes = r"[0-9A-F]{2}"
records = []
for first in range(0, len(lines) - len(lines) % 4, 4):
    stamp, ap, sta, empty = (line.decode("ascii", "replace") for line in lines[first:first + 4])
    ap_match = re.fullmatch(rf" AP MAC:((?:{hexes}-){{5}}{hexes})", ap)
    sta_match = re.fullmatch(rf"STA MAC:((?:{hexes}:){{5}}{hexes})", sta)
    whole = re.fullmatch(r"\d{14}", stamp) and ap_match and sta_match and empty == ""
    if whole:
        ap_bytes = [int(b, 16) for b in ap_match.group(1).split("-")]
        sta_bytes = [int(b, 16) for b in sta_match.group(1).split(":")]
        whole = ap_bytes == [sta_bytes[0] + 2] + sta_bytes[1:]
    if not whole:
        problems.append(f"record {first // 4 + 1} broken: {[stamp, ap, sta, empty]}")
        continue
    records.append((stamp, sta_match.group(1)))

recorded = collections.Counter(address for _, address in records)
for address in addresses:
    if recorded[address] != 1:
        problems.append(f"{address} recorded {recorded[address]} times")
if len(records) != len(addresses):
    problems.append(f"{len(records)} records for {len(addresses)} runs")

per_second = collections.Counter(stamp for stamp, _ in records)
expected = {stamp + (f"-{k}" if k else "") + ".png" for stamp, n in per_second.items()
            for k in range(n)}
pictures = {name for name in os.listdir(folder) if name.endswith(".png")}
if pictures != expected:
    problems.append(f"pictures missing: {sorted(expected - pictures)}, "
                    f"without a record: {sorted(pictures - expected)}")
for name in sorted(pictures):
    with open(os.path.join(folder, name), "rb") as f:
        if f.read(8) != b"\x89PNG\r\n\x1a\n":
            problems.append(f"{name} is not a PNG picture")

shared = sum(n for n in per_second.values() if n > 1)
print(f"{len(records)} complete records, {len(pictures)} pictures, "
      f"{shared} records sharing their second with another")
for problem in problems:
    print("PROBLEM:", problem)
sys.exit(1 if problems else 0)
EOF
}

# equal_figures OUTPUT LABEL: the line "LABEL: A before, B after" of the output has A = B.
equal_figures() {
  local line
  line=$(grep "^$2: " "$1")
  [[ $line =~ :\ ([0-9]+)\ before,\ ([0-9]+)\ after ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ]
}

# heap_flat OUTPUT: the heap in use grew by at most 1024 kB from the first run to the last.
heap_flat() {
  local line
  line=$(grep "^Heap in use: " "$1")
  [[ $line =~ \(([+-][0-9]+)\ kB\)$ ]] && [ "${BASH_REMATCH[1]}" -le 1024 ]
}

echo "== (a) $runs runs in one process, the log filled to its bound"
"$soak" --runs "$runs" --log-lines 100000 --app-dir "$work/line" | tee "$work/line.out"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("(a) a run failed")
heap_flat "$work/line.out" || failed+=("(a) the heap in use grew")
equal_figures "$work/line.out" "Open descriptors" || failed+=("(a) open descriptors changed")
equal_figures "$work/line.out" "Threads" || failed+=("(a) threads changed")
grep -q "^Log lines: 100000 (the log keeps 100000)" "$work/line.out" ||
  failed+=("(a) the log is not at its bound of 100000 lines")
echo "-- records:"
check_folder "$work/line/Config" "$work/line.out" || failed+=("(a) records")

echo
echo "== (b) two processes at once, one Config folder, $pair_runs runs each"
"$soak" --runs "$pair_runs" --fixture 1 --app-dir "$work/pair" >"$work/pair1.out" 2>&1 &
first=$!
"$soak" --runs "$pair_runs" --fixture 2 --app-dir "$work/pair" >"$work/pair2.out" 2>&1 &
second=$!
wait "$first" || failed+=("(b) a run of the first process failed")
wait "$second" || failed+=("(b) a run of the second process failed")
for n in 1 2; do
  echo "-- process $n:"
  cat "$work/pair$n.out"
done
echo "-- records:"
check_folder "$work/pair/Config" "$work/pair1.out" "$work/pair2.out" || failed+=("(b) records")

echo
if [ ${#failed[@]} -eq 0 ]; then
  echo "SOAK PASSED"
  exit 0
fi
echo "SOAK FAILED:"
printf '  %s\n' "${failed[@]}"
exit 1
