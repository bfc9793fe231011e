#!/usr/bin/env bash
# Builds Ferrule for Windows (tools/build-windows.sh) and runs its Windows suites under Wine:
# the platform-free unit suites, the Windows serial layer and the registry port list against the
# simulated module (the Linux build's rq53sim) on a pseudo-terminal that Wine shows as COM5, and
# a whole flash run through the window and one through ferrule-cli.exe, both through the loader
# program. The QR picture of the window's run is decoded with zbarimg and the module's flash
# compared with the image after each; then the installer's install, run and uninstall
# (tools/test-windows-installer.sh). Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/build-windows.sh"

install_packages "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" \
  "${WINDOWS_TEST_PACKAGES[@]}"
install_sdk
build_windows -DFERRULE_BUILD_TESTS=ON
deploy
make_installer
cmake -S "$root" -B "$root/build" -G Ninja -DFERRULE_WERROR=ON -DFERRULE_BUILD_TESTS=ON >/dev/null
cmake --build "$root/build" --target rq53sim_program
SIM=$root/build/tools/rq53sim/rq53sim

WINE=$(command -v wine || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QT_QPA_PLATFORM=minimal
# The test programs run beside Ferrule.exe in a copy of the deployed folder, so that they load the
# same DLLs and plugins, with Qt's minimal platform plugin that runs the window headless.
BIN=$BUILD/wine-bin
rm -rf "$BIN" && cp -r "$DIST" "$BIN" && cp "$BUILD"/tests/windows/*.exe "$BIN/"
cp "$SDK/qt6-mingw64/plugins/platforms/qminimal.dll" "$BIN/platforms/"
[ -f "$WINEPREFIX/system.reg" ] || "$WINE" wineboot -i >/dev/null 2>&1
# One server for the whole stage: the registry's hardware key lives only as long as it does.
"$WINESERVER" -p >/dev/null 2>&1 || true  # (already running: kept)
OUT=$BUILD/wine-run
rm -rf "$OUT" && mkdir -p "$OUT"
sim_pid=
xvfb_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -f "$WINEPREFIX/dosdevices/com5"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# start_sim [rq53sim options...]: the simulated module of a station address 18:FE:34:12:34:56
# on COM5.
start_sim() {
  coproc SIMPROC { exec "$SIM" --keep-running --efuse 56400000,00001234,0,0 "$@" < /dev/null; }
  sim_pid=$SIMPROC_PID
  local pty
  read -r pty <&"${SIMPROC[0]}"
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com5"
}
stop_sim() {
  kill -TERM "$sim_pid" && wait "$sim_pid" || true
  sim_pid=
}
wine_test() { "$WINE" "$BIN/$1" --gtest_brief=1 "${@:2}"; }

# The window on the windows platform on a virtual display. Its layout, for the font and the
# scaling Windows gives, at 96, 120 and 144 dots per inch (100, 125 and 150 %): in this prefix,
# which has no Microsoft fonts (Microsoft YaHei falls back to WenQuanYi Micro Hei), and with
# Microsoft YaHei replaced by DejaVu Math TeX Gyre, a font of other metrics whose text box is far
# taller than its lines. (Wine gives a program the prefix's Replacements as fonts of their own;
# a FontSubstitutes entry is not listed, so Qt would pass over it to its next font.) Then keys
# as Windows delivers them, with a module on COM5 that never answers.
window_stage() {
  local display=:${FERRULE_WINE_DISPLAY:-78} fonts dpi
  local replacements='HKCU\Software\Wine\Fonts\Replacements'
  local desktop='HKCU\Control Panel\Desktop'
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp &
  xvfb_pid=$!
  sleep 1
  for fonts in fallback replaced; do
    if [ "$fonts" = replaced ]; then
      "$WINE" reg add "$replacements" /v 'Microsoft YaHei' /d 'DejaVu Math TeX Gyre' /f >/dev/null
    fi
    for dpi in 96 120 144; do
      "$WINE" reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
      echo "--- the window's layout: Microsoft YaHei $fonts, $dpi dpi"
      DISPLAY=$display wine_test windows_window_tests.exe -platform windows --gtest_filter=TLayout.*
    done
  done
  "$WINE" reg delete "$replacements" /v 'Microsoft YaHei' /f >/dev/null
  "$WINE" reg add "$desktop" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
  echo "--- keys as Windows delivers them"
  start_sim --no-reply -1
  DISPLAY=$display wine_test windows_window_tests.exe -platform windows --gtest_filter=TWindowKeys.*
  stop_sim
}

"$WINE" reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\Serial5' /d COM5 /f >/dev/null

echo "--- unit suites"
wine_test windows_unit_tests.exe

echo "--- serial layer and port list on COM5"
start_sim
wine_test windows_com_tests.exe --gtest_filter=-*Pulled*:WindowRun.*
stop_sim

echo "--- a whole run through the window on COM5"
# Through the loader program: Wine runs the handshake's 576000 bit/s as another rate, which the
# run reads back and keeps to until the program moves both sides to 921600.
start_sim --dump "$OUT/flash.bin"
FERRULE_RUN_OUTPUT="Z:${OUT//\//\\}" wine_test windows_com_tests.exe --gtest_filter=WindowRun.*
stop_sim
convert "$OUT/qr.png" -scale 800% "$OUT/qr-large.png"
qr_text=$(zbarimg --raw -q "$OUT/qr-large.png" 2>/dev/null)
expected_text=$(printf ' AP MAC:1A-FE-34-12-34-56\r\nSTA MAC:18:FE:34:12:34:56')
[ "$qr_text" = "$expected_text" ] || { echo "QR picture reads: $qr_text"; exit 1; }
cmp -n "$(stat -c %s "$OUT/expected-flash.bin")" "$OUT/expected-flash.bin" "$OUT/flash.bin"
echo "QR picture and flash contents: right"

echo "--- ferrule-cli.exe on COM5 through the loader program"
start_sim --dump "$OUT/cli-flash.bin"
mkdir -p "$OUT/cli"
"$WINE" "$BIN/ferrule-cli.exe" --firmware CORVEL --port COM5 --json \
  --config "Z:${OUT//\//\\}\\cli" >"$OUT/cli.json"
stop_sim
# The outcome's own fields: done, verified, through the loader program at 921600 bit/s.
python3 - "$OUT/cli.json" <<'EOF'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
result = next(event for event in events if event["event"] == "result")
wanted = {"result": "done", "verified": True, "path": "loader", "rate": 921600}
got = {key: result[key] for key in wanted}
sys.exit(0 if got == wanted else "ferrule-cli.exe: %s" % result)
EOF
cmp -n "$(stat -c %s "$OUT/expected-flash.bin")" "$OUT/expected-flash.bin" "$OUT/cli-flash.bin"
echo "ferrule-cli.exe: done through the loader program at 921600 bit/s, flash contents right"

echo "--- an adapter pulled after the first answer"
start_sim --unplug-after 0
wine_test windows_com_tests.exe --gtest_filter=*Pulled*
stop_sim

window_stage
echo "--- the installer: install, a whole run, uninstall"
bash "$root/tools/test-windows-installer.sh"
