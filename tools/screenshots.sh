#!/usr/bin/env bash
# Takes the README's pictures of the window on a virtual display, driven as a
# user drives it (mouse for the first page and box, keys for the rest), with the simulated module as the RQ53:
#   docs/failed.png  the Flash page after a port that cannot be opened
#   docs/done.png    the Flash page after a finished run
#   docs/log.png     the Log page after that run
# Usage: tools/screenshots.sh [BUILD_DIR]   (needs Xvfb, xdotool and ImageMagick's import)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
display=:${FERRULE_SHOT_DISPLAY:-77}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 509x258x24 -nolisten tcp &
pids+=($!)
export DISPLAY=$display
sleep 1

# The module serves its pseudo-terminal until this script ends; its first line names the port.
mkfifo "$work/sim-in"
"$build/tools/rq53sim/rq53sim" -v --efuse 59400000,1234,0,0 <"$work/sim-in" >"$work/sim-out" \
  2>"$work/sim-requests" &
pids+=($!)
exec 3>"$work/sim-in"
for _ in $(seq 50); do [ -s "$work/sim-out" ] && break; sleep 0.1; done
port=$(head -n1 "$work/sim-out" | grep -o '/dev/[^ ]*')

# A program folder of its own, so the pictures start from the default settings.
cp "$build/app/ferrule" "$work/ferrule"
"$work/ferrule" &
pids+=($!)
window=""
for _ in $(seq 50); do
  window=$(xdotool search --name 'Ferrule' 2>/dev/null | head -n1) && [ -n "$window" ] && break
  sleep 0.2
done
xdotool windowmove --sync "$window" 0 0 windowactivate --sync "$window" 2>/dev/null || true
sleep 2

key() { xdotool key --delay 80 "$@"; sleep 0.3; }
text() { xdotool type --delay 30 "$1"; sleep 0.3; }
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }
shot() { import -window root "$root/docs/$1"; }

# The Flash page's tab, the firmware by name, then Tab to the port box and a port that is not there.
click 35 16
click 200 54
key ctrl+a
text CORVEL
key Tab ctrl+a
text /dev/ttyUSB7
key alt+f
sleep 1
shot failed.png

key alt+p ctrl+a
text "$port"
key alt+f
# The run is over shortly after the module has answered the last of the image's 469 blocks.
for _ in $(seq 120); do
  grep -q '#468 ->' "$work/sim-requests" && break
  sleep 0.5
done
sleep 2
shot done.png
key ctrl+Tab ctrl+Tab
sleep 0.5
shot log.png
