#!/usr/bin/env bash
# The Windows installer under Wine, as a factory deploys it: in a fresh prefix the installer runs
# silently (/S) for the current user; the installed Ferrule.exe makes a whole CORVEL run through
# its window, on a virtual display and driven by keys and clicks, against the simulated module on
# COM5; then the uninstaller runs silently. Checked: the files, the Start-menu entry and the Apps
# entry after installing; the settings folder beside the installed program, the record, the QR
# picture (decoded with zbarimg), the status picture and the module's flash after the run; no
# program file, entry or shortcut left after uninstalling, the settings folder kept.
# Run by tools/test-windows.sh once it has made the installer and the Linux build's rq53sim.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/build-windows.sh"

SETUP=$root/dist/Ferrule-$(project_version)-win64-setup.exe
SIM=$root/build/tools/rq53sim/rq53sim
IMAGE=$BUILD/resources/generated/CORVEL.bin  # the stand-in built into Ferrule.exe
WINE=$(command -v wine || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$BUILD/wineprefix-installer WINEDEBUG=-all
# No Mono or Gecko prompts, and no menu entries of Wine's own on this machine for the shortcut.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset QT_QPA_PLATFORM  # the window on its real platform plugin, qwindows
UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ferrule'
OUT=$BUILD/wine-installer
rm -rf "$WINEPREFIX" "$OUT" && mkdir -p "$OUT"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  "$WINESERVER" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

# unix_path VARIABLE: the Unix path of a Windows environment variable's folder in the prefix.
unix_path() {
  "$WINE" winepath -u "$("$WINE" cmd /c echo "%$1%" | tr -d '\r')" | tr -d '\r'
}

# wait_for SECONDS COMMAND...: polls the command every half second.
wait_for() {
  local tries=$(($1 * 2))
  shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.5; done
  return 1
}

# start_sim: the simulated module on COM5; the run goes through the loader program.
start_sim() {
  "$SIM" -v --keep-running --efuse 56400000,00001234,0,0 --dump "$OUT/flash.bin" \
    </dev/null >"$OUT/sim-port" 2>"$OUT/sim-requests" &
  sim_pid=$!
  pids+=("$sim_pid")
  wait_for 5 test -s "$OUT/sim-port" || fail "rq53sim named no port"
  ln -sfn "$(head -n1 "$OUT/sim-port")" "$WINEPREFIX/dosdevices/com5"
}

start_display() {
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$OUT/display" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 test -s "$OUT/display" || fail "Xvfb did not start"
  export DISPLAY=:$(cat "$OUT/display")
}

echo "--- the installer, silently, in a fresh prefix"
"$WINE" wineboot -i >/dev/null 2>&1
# One server for the whole test: the registry's hardware key lives only as long as it does.
"$WINESERVER" -p >/dev/null 2>&1 || true  # (already running: kept)
"$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial5' /d COM5 /f >/dev/null
"$WINE" "$SETUP" /S || fail "the installer exited with $?"
inst=$(readlink -f "$(unix_path LOCALAPPDATA)")/Programs/Ferrule
shortcut=$(readlink -f "$(unix_path APPDATA)")/Microsoft/Windows/Start\ Menu/Programs/Ferrule.lnk
for f in Ferrule.exe ferrule-cli.exe Uninstall.exe Qt6Core.dll platforms/qwindows.dll \
         licenses/README.txt licenses/Qt-LGPL-3.txt; do
  [ -f "$inst/$f" ] || fail "not installed: $f"
done
[ -f "$shortcut" ] || fail "no Start-menu entry"
"$WINE" reg query "$UNINSTALL_KEY" /v QuietUninstallString | tr -d '\r' |
  grep -qF 'Programs\Ferrule\Uninstall.exe" /S' || fail "no Apps entry with its uninstaller"
echo "installed in $inst, with its Start-menu entry and Apps entry"

echo "--- a whole run through the installed Ferrule.exe on COM5"
start_sim
start_display
"$WINE" "$inst/Ferrule.exe" >/dev/null 2>&1 &
ferrule_pid=$!
pids+=("$ferrule_pid")
find_window() { window=$(xdotool search --onlyvisible --name '^Ferrule' 2>/dev/null | head -n1) && [ -n "$window" ]; }
wait_for 60 find_window || fail "no window"
sleep 3  # the port watcher's first look at the registry
# The Flash page's tab and its firmware box (their places in the window's design), CORVEL typed
# into it, then Flash (Alt+F).
xdotool mousemove --window "$window" 35 16 click 1
sleep 0.5
xdotool mousemove --window "$window" 200 54 click 1
sleep 0.5
xdotool key --delay 80 ctrl+a && xdotool type --delay 50 CORVEL && xdotool key --delay 80 alt+f
wait_for 600 grep -q '^FINISH -> 00 00' "$OUT/sim-requests" || fail "the run did not reach the loader's digest"
sleep 3  # run after flash, closing the port, the status picture
import -window "$window" "$OUT/window.png"
"$WINE" taskkill /im Ferrule.exe >/dev/null 2>&1 || true
wait_for 20 sh -c "! kill -0 $ferrule_pid 2>/dev/null" || fail "Ferrule.exe did not close"
kill -TERM "$sim_pid" && wait "$sim_pid" || true

# The status picture at the bottom left is the green tick: many green pixels, no red ones.
read -r green red < <(convert "$OUT/window.png" -gravity SouthWest -crop 28x25+0+0 +repage txt:- |
  sed -n 's/.*srgba\?(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3/p' |
  awk '{ g += ($2 > 120 && $2 > $1 + 40 && $2 > $3); r += ($1 > 150 && $1 > $2 + 60) }
       END { print g + 0, r + 0 }')
[ "$green" -ge 40 ] && [ "$red" -eq 0 ] || fail "status picture: $green green and $red red pixels ($OUT/window.png)"
config=$inst/Config
head -c 40 "$config/Config.xml" | grep -q '<?xml' || fail "no settings file beside Ferrule.exe"
grep -qaP '^\d{14}\r$' "$config/RQ53MAC.txt" && grep -qaF 'STA MAC:18:FE:34:12:34:56' "$config/RQ53MAC.txt" ||
  fail "record: $(cat -A "$config/RQ53MAC.txt")"
pictures=("$config"/*.png)
[ ${#pictures[@]} -eq 1 ] || fail "${#pictures[@]} QR pictures"
convert "${pictures[0]}" -scale 800% "$OUT/qr-large.png"
[ "$(zbarimg --raw -q "$OUT/qr-large.png" 2>/dev/null)" = "$(printf ' AP MAC:1A-FE-34-12-34-56\r\nSTA MAC:18:FE:34:12:34:56')" ] ||
  fail "QR picture reads: $(zbarimg --raw -q "$OUT/qr-large.png" 2>/dev/null)"
# The module's flash holds the image with the Advanced page's defaults in its header (DIO, 4 MByte,
# 40 MHz).
{ head -c 2 "$IMAGE"; printf '\x02\x40'; tail -c +5 "$IMAGE"; } >"$OUT/expected-flash.bin"
cmp -n "$(stat -c %s "$IMAGE")" "$OUT/expected-flash.bin" "$OUT/flash.bin" || fail "flash contents"
echo "the run: status picture, settings folder beside Ferrule.exe, record, QR picture, flash: right"

echo "--- the uninstaller, silently"
"$WINE" "$inst/Uninstall.exe" /S || fail "the uninstaller exited with $?"
# It goes on from a copy of itself in the temporary folder.
wait_for 60 sh -c "! test -e '$inst/Uninstall.exe'" || fail "the uninstaller did not finish"
sleep 1
left=$(cd "$inst" && find . -path ./Config -prune -o -print | grep -vx '\.' || true)
[ -z "$left" ] || fail "left behind: $left"
[ -f "$config/Config.xml" ] && [ -f "$config/RQ53MAC.txt" ] && [ -f "${pictures[0]}" ] ||
  fail "the settings folder went too"
[ ! -e "$shortcut" ] || fail "the Start-menu entry stayed"
! "$WINE" reg query "$UNINSTALL_KEY" >/dev/null 2>&1 || fail "the Apps entry stayed"
echo "uninstalled: no program file, Start-menu entry or Apps entry left; the settings folder stays"
