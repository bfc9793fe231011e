#!/usr/bin/env bash
# Takes the README's pictures of the window on a virtual display, driven as a user drives it,
# with the simulated module as the RQ53. Mouse for the first page and box, keys for the rest:
#   docs/failed.png  the Flash page after a port that cannot be opened
#   docs/done.png    the Flash page after a finished run
#   docs/log.png     the Log page after that run
#   docs/image-file.png  an image file of one's own chosen (Ctrl+O, its path typed) and the
#                        firmware box opened
# By keys alone, the Flash page during a run (the firmware chosen, the port given, the module's
# MAC address shown) at 100 %, 125 % and 150 % scaling:
#   docs/scale-linux-{100,125,150}.png       ferrule on Linux (scaled with QT_SCALE_FACTOR)
#   docs/scale-wine-{100,125,150}.png        Ferrule.exe under Wine (the prefix's dots per inch),
#                                            a prefix without Microsoft fonts; docs/wine-flash.png
#                                            is its 100 % picture
#   docs/scale-wine-yahei-{100,125,150}.png  the same, Microsoft YaHei replaced by DejaVu Math TeX
#                                            Gyre (other metrics, and a text box far taller than
#                                            its lines)
# The Windows pictures need the Windows build (tools/build-windows.sh) and are left out without it.
# Usage: tools/screenshots.sh [BUILD_DIR [WINDOWS_DIST_DIR]]
#   (needs Xvfb, xdotool and ImageMagick's import; wine64 for the Windows pictures)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
dist=${2:-$root/dist/Ferrule-win64}
display=:${FERRULE_SHOT_DISPLAY:-77}
work=$(mktemp -d)
WINE=$(command -v wine || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -d "$WINEPREFIX" ] && "$WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp &
pids+=($!)
export DISPLAY=$display
sleep 1

# start_sim [rq53sim options...]: the module serves its pseudo-terminal, $port, until stop_sim;
# each request it takes is a line of $work/sim-requests.
start_sim() {
  rm -f "$work/sim-in" && mkfifo "$work/sim-in"
  "$build/tools/rq53sim/rq53sim" -v --efuse 59400000,1234,0,0 "$@" <"$work/sim-in" \
    >"$work/sim-out" 2>"$work/sim-requests" &
  sim_pid=$!
  pids+=($sim_pid)
  exec 3>"$work/sim-in"
  for _ in $(seq 50); do [ -s "$work/sim-out" ] && break; sleep 0.1; done
  port=$(head -n1 "$work/sim-out" | grep -o '/dev/[^ ]*')
}
stop_sim() {
  exec 3>&-
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}

# start_program COMMAND...: runs it, in front, its window at the screen's top left in $window.
start_program() {
  "$@" &
  app=$!
  pids+=($app)
  window=""
  for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name 'Ferrule v' 2>/dev/null | head -n1) &&
      [ -n "$window" ] && break
    sleep 0.3
  done
  [ -n "$window" ] || { echo "no window of $1"; exit 1; }
  xdotool windowmove --sync "$window" 0 0 2>/dev/null || true
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
  sleep 2
}
stop_program() {
  kill "$app" 2>/dev/null || true
  wait "$app" 2>/dev/null || true
}

key() { xdotool key --delay 80 "$@"; sleep 0.4; }
text() { xdotool type --delay 30 "$1"; sleep 0.4; }
click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }
shot() {
  import -window "$window" "$root/docs/$1"
  echo "docs/$1: $(identify -format '%wx%h' "$root/docs/$1")"
}

# A program folder of its own for each program started, so that it starts from the default
# settings.
fresh_copy() { rm -rf "$work/app" && mkdir "$work/app" && cp -r "$1" "$work/app/"; }

readme_pictures() {
  start_sim
  fresh_copy "$build/app/ferrule"
  start_program "$work/app/ferrule"
  # The Flash page's tab, the firmware by name, then Tab to the port box and a port that is not
  # there.
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
  stop_program
  stop_sim
}

# Ctrl+O on the Flash page, a path typed into the file dialog, then the firmware box opened by
# keys; taken of the screen, as the box's list is a window of its own.
image_file_picture() {
  mkdir -p "$work/firmware"
  head -c 20000 /dev/urandom >"$work/firmware/my-app.bin"
  fresh_copy "$build/app/ferrule"
  start_program "$work/app/ferrule"
  click 35 16
  key ctrl+o
  sleep 1
  text "$work/firmware/my-app.bin"
  key Return
  sleep 0.5
  click 200 54
  key alt+Down
  sleep 0.5
  local size
  size=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p')
  import -window root -crop "$size+0+0" "$root/docs/image-file.png"
  key Escape
  stop_program
  echo "docs/image-file.png: $(identify -format '%wx%h' "$root/docs/image-file.png")"
}

# scaled_picture PICTURE [PORT]: to the Flash page (Ctrl+Tab from the About page, twice), the
# port typed (unless the port watcher has chosen it), the firmware typed and Flash pressed; the
# picture is taken once the module's four MAC registers have been read and the MAC shown.
scaled_picture() {
  key ctrl+Tab ctrl+Tab alt+p
  if [ -n "${2:-}" ]; then
    key ctrl+a
    text "$2"
  fi
  key shift+Tab ctrl+a
  text CORVEL
  key alt+f
  for _ in $(seq 200); do
    [ "$(grep -c '^READ_REG' "$work/sim-requests" || true)" -ge 4 ] && break
    sleep 0.2
  done
  sleep 2
  shot "$1"
}

linux_scaled_pictures() {
  local scale
  for scale in 100 125 150; do
    start_sim
    fresh_copy "$build/app/ferrule"
    start_program env QT_SCALE_FACTOR="$(printf '%d.%02d' $((scale / 100)) $((scale % 100)))" \
      "$work/app/ferrule"
    scaled_picture "scale-linux-$scale.png" "$port"
    stop_program
    stop_sim
  done
}

# The module on COM5, which the port watcher finds in the registry; it refuses the loader
# program, as in the Wine test stage.
wine_scaled_pictures() {
  local fonts scale
  "$WINE" wineboot -i >/dev/null 2>&1
  "$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial5' /d COM5 /f >/dev/null
  for fonts in wine wine-yahei; do
    if [ "$fonts" = wine-yahei ]; then
      "$WINE" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' \
        /d 'DejaVu Math TeX Gyre' /f >/dev/null
    fi
    for scale in 100 125 150; do
      "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
        /d $((96 * scale / 100)) /f >/dev/null
      start_sim --refuse-upload
      ln -sfn "$port" "$WINEPREFIX/dosdevices/com5"
      fresh_copy "$dist"
      start_program "$WINE" "$work/app/$(basename "$dist")/Ferrule.exe"
      scaled_picture "scale-$fonts-$scale.png"
      stop_program
      stop_sim
    done
  done
  cp "$root/docs/scale-wine-100.png" "$root/docs/wine-flash.png"
}

readme_pictures
image_file_picture
linux_scaled_pictures
if [ -f "$dist/Ferrule.exe" ]; then
  wine_scaled_pictures
else
  echo "No Windows build at $dist: the Windows pictures are left as they are."
fi
