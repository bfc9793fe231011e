#!/usr/bin/env bash
# Builds the Debian package in build/ (the programs only, no tests) and checks it: the files it
# installs, its declared dependencies, its desktop entry (desktop-file-validate) and lintian's
# findings (printed).
# Usage: tools/check_package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DFERRULE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target package
deb=$(ls "$build"/ferrule_*_amd64.deb)
echo "== $deb"
contents=$(dpkg-deb -c "$deb")
echo "$contents"
for path in ./usr/bin/ferrule ./usr/bin/ferrule-cli ./usr/share/applications/ferrule.desktop \
            ./usr/share/icons/hicolor/128x128/apps/ferrule.png ./usr/share/man/man1/ferrule-cli.1.gz; do
  grep -q " $path\$" <<<"$contents" || { echo "missing from the package: $path"; exit 1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6xml6 libqrencode4 zlib1g libc6; do
  grep -q "$lib" <<<"$depends" || { echo "undeclared dependency: $lib"; exit 1; }
done
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/ferrule.desktop"
echo "desktop entry valid"
if command -v lintian >/dev/null; then lintian --no-tag-display-limit "$deb" || true; fi
