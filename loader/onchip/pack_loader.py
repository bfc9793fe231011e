#!/usr/bin/env python3
"""Packs the loader program's ELF file into the form Ferrule carries as a resource.

Output, little-endian 32-bit words: the entry address, the number of segments, then per segment
its load address, its length and its bytes (zero-padded to a multiple of 4). Only the segments
with bytes to load are kept (zeroed data is cleared by the program itself).

Usage: pack_loader.py PROGRAM.elf OUTPUT
"""

import struct
import sys

PT_LOAD = 1


def segments(elf):
    if elf[:4] != b"\x7fELF" or elf[4] != 1 or elf[5] != 1:
        raise SystemExit("not a 32-bit little-endian ELF file")
    entry, phoff = struct.unpack_from("<II", elf, 24)
    phentsize, phnum = struct.unpack_from("<HH", elf, 42)
    loads = []
    for i in range(phnum):
        kind, offset, _, paddr, filesz = struct.unpack_from("<IIIII", elf, phoff + i * phentsize)
        if kind == PT_LOAD and filesz:
            loads.append((paddr, elf[offset:offset + filesz]))
    return entry, loads


def main(argv):
    if len(argv) != 3:
        raise SystemExit(f"usage: {argv[0]} PROGRAM.elf OUTPUT")
    entry, loads = segments(open(argv[1], "rb").read())
    out = struct.pack("<II", entry, len(loads))
    for address, data in loads:
        out += struct.pack("<II", address, len(data)) + data + bytes(-len(data) % 4)
    with open(argv[2], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv)
