#!/usr/bin/env bash
# Puts Debian's zlib source tarball (the one the loader program's inflate is built from) in DIR.
# Takes it from ../shared/thirdparty beside the source tree when that exists; otherwise fetches it
# with apt-get source through a sources list of its own, leaving the machine's apt setup alone.
# Usage: fetch_zlib.sh SOURCE_DIR DIR
set -euo pipefail
source_dir=$1
dir=$2
tarball=zlib_1.2.13.dfsg.orig.tar.bz2
mkdir -p "$dir"
[ -f "$dir/$tarball" ] && exit 0
shared="$source_dir/../shared/thirdparty/$tarball"
if [ -f "$shared" ]; then
  cp "$shared" "$dir/"
  exit 0
fi
apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources.list.d" "$apt_dir/cache/archives/partial"
echo "deb-src http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list.d/zlib.list"
options=(-o "Dir::Etc::SourceParts=$apt_dir/sources.list.d" -o Dir::Etc::SourceList=/dev/null
         -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
apt-get "${options[@]}" update -q
(cd "$dir" && apt-get "${options[@]}" source --download-only zlib=1:1.2.13.dfsg-1)
[ -f "$dir/$tarball" ]
