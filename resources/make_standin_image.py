#!/usr/bin/env python3
"""Writes a stand-in for one of the built-in firmware images.

The maker's images are not part of the source tree. The stand-ins have the same name, size and
header bytes and are well-formed ESP8266 ROM boot-loader images, so that everything up to the
flash itself can be exercised with them; they hold no runnable code. Their segments are shaped
like compiled code, so they compress as firmware does (deflate leaves about two thirds); with
--random the segments are pseudo-random and do not compress at all (the worst case for a
compressed transfer).

Image layout: magic 0xE9, segment count, SPI mode, size/frequency byte, 32-bit entry point; then
per segment its 32-bit load address, its 32-bit length and its data; then zero padding up to
one byte short of a 16-byte boundary and the checksum byte (0xEF XOR every segment data byte).
All numbers little-endian.

Usage: make_standin_image.py NAME OUTPUT [--random]   (NAME: CORVEL or UPYTHON)
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


# Text the code-like content prints: words from a firmware's log messages.
WORDS = ["wifi", "heap", "error", "flash", "sector", "connect", "timeout", "station", "config",
         "socket", "buffer", "read", "write", "mqtt", "http", "json", "sensor", "value"]
# Memory regions the literal pools point into: instruction RAM, data RAM, mapped flash, registers.
REGIONS = (0x40100000, 0x3FFE8000, 0x40200000, 0x60000000)


def code_like(rng, length):
    """Bytes shaped like compiled code: 3000 instruction words of 2 or 3 bytes reused with a
    skewed (1/rank) frequency, literal pools of word-aligned addresses in a few regions, and
    zero-terminated message texts, in the proportions 85 : 10 : 5."""
    vocabulary = [rng.randbytes(rng.choice((2, 3, 3, 3))) for _ in range(3000)]
    weights = [1.0 / rank for rank in range(1, len(vocabulary) + 1)]
    out = bytearray()
    while len(out) < length:
        kind = rng.random()
        if kind < 0.05:
            text = " ".join(rng.choice(WORDS) for _ in range(rng.randint(2, 6)))
            out += (text + ": %d\n\0").encode("ascii")
        elif kind < 0.15:
            for _ in range(rng.randint(1, 6)):
                address = rng.choice(REGIONS) + rng.randrange(0, 0x8000, 4)
                out += address.to_bytes(4, "little")
        else:
            for word in rng.choices(vocabulary, weights, k=rng.randint(4, 40)):
                out += word
    return bytes(out[:length])


def segment_data(name, index, length, incompressible):
    """Deterministic bytes that begin with a note and every byte value, then code-like content
    (or pseudo-random bytes when incompressible)."""
    note = f"Ferrule stand-in for the {name} firmware image, segment {index}: no code.\0"
    head = note.encode("ascii") + bytes(range(256))
    rng = random.Random(f"{name}/{index}")
    rest_length = max(0, length - len(head))
    rest = rng.randbytes(rest_length) if incompressible else code_like(rng, rest_length)
    return (head + rest)[:length]


def build(name, incompressible=False):
    mode, size_freq, entry, segments, total = LAYOUTS[name]
    image = bytearray([0xE9, len(segments), mode, size_freq]) + struct.pack("<I", entry)
    checksum = 0xEF
    for index, (address, length) in enumerate(segments):
        data = segment_data(name, index, length, incompressible)
        image += struct.pack("<II", address, length) + data
        for byte in data:
            checksum ^= byte
    image += bytes(15 - len(image) % 16)
    image.append(checksum)
    if len(image) != total:
        raise SystemExit(f"{name}: layout gives {len(image)} bytes, not {total}")
    return bytes(image)


def main(argv):
    if len(argv) not in (3, 4) or argv[1] not in LAYOUTS or argv[3:] not in ([], ["--random"]):
        raise SystemExit(f"usage: {argv[0]} {{{'|'.join(LAYOUTS)}}} OUTPUT [--random]")
    with open(argv[2], "wb") as out:
        out.write(build(argv[1], incompressible=len(argv) == 4))


if __name__ == "__main__":
    main(sys.argv)
