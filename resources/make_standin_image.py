#!/usr/bin/env python3
"""Writes a stand-in for one of the built-in firmware images.

The maker's images are not part of the source tree. The stand-ins have the same name, size and
header bytes and are well-formed ESP8266 ROM boot-loader images, so that everything up to the
flash itself can be exercised with them; they hold no runnable code.

Image layout: magic 0xE9, segment count, SPI mode, size/frequency byte, 32-bit entry point; then
per segment its 32-bit load address, its 32-bit length and its data; then zero padding up to
one byte short of a 16-byte boundary and the checksum byte (0xEF XOR every segment data byte).
All numbers little-endian.

Usage: make_standin_image.py NAME OUTPUT    (NAME: CORVEL or UPYTHON)
"""

import random
import struct
import sys

# name: (SPI mode, size/frequency byte, entry point, [(load address, length)], total size)
LAYOUTS = {
    "CORVEL": (0x00, 0x40, 0x40100004, [(0x40100000, 480076)], 480096),
    "UPYTHON": (0x00, 0x00, 0x40100390,
                [(0x40100000, 31312), (0x3FFE8000, 3588), (0x3FFE8E10, 563488)], 598432),
}


def segment_data(name, index, length):
    """Deterministic bytes that begin with a note and every byte value, then pseudo-random."""
    note = f"Ferrule stand-in for the {name} firmware image, segment {index}: no code.\0"
    head = note.encode("ascii") + bytes(range(256))
    rest = random.Random(f"{name}/{index}").randbytes(max(0, length - len(head)))
    return (head + rest)[:length]


def build(name):
    mode, size_freq, entry, segments, total = LAYOUTS[name]
    image = bytearray([0xE9, len(segments), mode, size_freq]) + struct.pack("<I", entry)
    checksum = 0xEF
    for index, (address, length) in enumerate(segments):
        data = segment_data(name, index, length)
        image += struct.pack("<II", address, length) + data
        for byte in data:
            checksum ^= byte
    image += bytes(15 - len(image) % 16)
    image.append(checksum)
    if len(image) != total:
        raise SystemExit(f"{name}: layout gives {len(image)} bytes, not {total}")
    return bytes(image)


def main(argv):
    if len(argv) != 3 or argv[1] not in LAYOUTS:
        raise SystemExit(f"usage: {argv[0]} {{{'|'.join(LAYOUTS)}}} OUTPUT")
    with open(argv[2], "wb") as out:
        out.write(build(argv[1]))


if __name__ == "__main__":
    main(sys.argv)
