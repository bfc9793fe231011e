#!/usr/bin/env bash
# Measures the two compressions the loader program could use, on the built-in images and a
# pseudo-random one: the ratio (bench_compression, on the host), the code and data each decoder
# adds to a program for the module, and its decoding speed in qemu-system-xtensa (the wall time of
# six decodes minus that of one, divided by five; the emulator's speed, not a chip's).
# Usage: loader/onchip/bench/measure.sh [BUILD_DIR]   (after a build of bench_compression)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
onchip=$(dirname "$here")
build=$(cd "${1:-$onchip/../../build}" && pwd)
zlib=$build/loader/onchip/zlib-1.2.13.dfsg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tools/bench_compression" --write "$work"
echo

flags=(-Os -mlongcalls -ffreestanding -fno-builtin -nostdlib -ffunction-sections -fdata-sections
       -fno-tree-loop-distribute-patterns -DZ_SOLO -DNO_GZIP -I"$onchip" -I"$zlib"
       -T "$onchip/loader.ld" -Wl,--gc-sections -Wl,--no-warn-rwx-segments
       -Wl,--entry=bench_entry)
inflate_sources=("$zlib"/{inflate,inftrees,inffast,zutil,adler32}.c)
common=("$onchip/tests/boot.S" "$here/codec_bench.c" "$onchip/digest.c" "$onchip/libc.c")
sed 's/test_entry/bench_entry/' "$onchip/tests/boot.S" >"$work/boot.S"
common[0]=$work/boot.S

build_bench() {  # OUTPUT CARRIER ROUNDS CODEC-FLAGS...
  local out=$1 carrier=$2 rounds=$3
  shift 3
  xtensa-lx106-elf-gcc "${flags[@]}" -DROUNDS="$rounds" "$@" -o "$out" "${common[@]}" "$carrier" \
    -lgcc
}

code_size() {  # ELF: code and constant/initialised data
  xtensa-lx106-elf-size -A "$1" | awk '$1 == ".text" {t = $2} $1 == ".data" {d = $2}
                                        END {printf "%6d code %5d data", t, d}'
}

run_ms() {  # ELF: wall milliseconds of one emulator run
  local start end
  start=$(date +%s%N)
  qemu-system-xtensa -M sim -cpu lx106 -semihosting -nographic -monitor none -kernel "$1" \
    || { echo "decode failed: $1" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

printf '%-8s %-8s %-24s %s\n' image codec "bench program's size" "ms per decode in qemu"
for image in CORVEL UPYTHON RANDOM; do
  for codec in deflate lz4; do
    codec_flags=("$here/lz4_block.c")
    [ "$codec" = deflate ] && codec_flags=(-DINFLATE "${inflate_sources[@]}")
    build_bench "$work/one.elf" "$work/$image.$codec.S" 1 "${codec_flags[@]}"
    build_bench "$work/six.elf" "$work/$image.$codec.S" 6 "${codec_flags[@]}"
    one=$(run_ms "$work/one.elf")
    six=$(run_ms "$work/six.elf")
    printf '%-8s %-8s %-24s %d\n' "$image" "$codec" "$(code_size "$work/one.elf")" \
      $(((six - one) / 5))
  done
done
