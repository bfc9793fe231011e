#!/usr/bin/env python3
"""Checks a built-in firmware image file against what the program expects of it.

  check_rom_image.py NAME FILE            size and first header bytes of image NAME
  check_rom_image.py NAME FILE --stand-in also the whole ESP8266 ROM image structure (segment
                                          table, padding, checksum) and every byte value present

The reader is written from the image format alone: magic 0xE9, segment count, SPI mode,
size/frequency, 32-bit entry point; per segment a 32-bit load address and length and its data;
zero padding to one byte short of a 16-byte boundary; the checksum byte 0xEF XOR all segment
data bytes. All numbers little-endian. Exits non-zero with a message on the first fault.
"""

import struct
import sys

EXPECTED = {  # name: (size in bytes, first four header bytes)
    "CORVEL": (480096, bytes.fromhex("E9010040")),
    "UPYTHON": (598432, bytes.fromhex("E9030000")),
}


def fail(message):
    raise SystemExit(f"FAIL: {message}")


def check_structure(image):
    count = image[1]
    position, checksum, data_bytes = 8, 0xEF, set()
    for index in range(count):
        if position + 8 > len(image):
            fail(f"segment {index}: header beyond the end of the file")
        address, length = struct.unpack_from("<II", image, position)
        position += 8
        if length == 0 or position + length > len(image):
            fail(f"segment {index} at 0x{address:08X}: length {length} does not fit")
        data = image[position:position + length]
        position += length
        data_bytes.update(data)
        for byte in data:
            checksum ^= byte
        print(f"segment {index}: load 0x{address:08X}, {length} bytes")
    checksum_at = position | 15
    if checksum_at + 1 != len(image):
        fail(f"segments end at {position}: checksum expected at {checksum_at}, "
             f"file holds {len(image)} bytes")
    if any(image[position:checksum_at]):
        fail("padding before the checksum is not zero")
    if image[checksum_at] != checksum:
        fail(f"checksum byte 0x{image[checksum_at]:02X}, data give 0x{checksum:02X}")
    missing = sorted(set(range(256)) - data_bytes)
    if missing:
        fail(f"byte values missing from the segment data: {missing[:8]}")


def main(argv):
    if len(argv) not in (3, 4) or argv[1] not in EXPECTED or argv[3:] not in ([], ["--stand-in"]):
        raise SystemExit(f"usage: {argv[0]} {{{'|'.join(EXPECTED)}}} FILE [--stand-in]")
    size, header = EXPECTED[argv[1]]
    with open(argv[2], "rb") as f:
        image = f.read()
    if len(image) != size:
        fail(f"{len(image)} bytes, expected {size}")
    if image[:4] != header:
        fail(f"header {image[:4].hex(' ')}, expected {header.hex(' ')}")
    if argv[3:]:
        check_structure(image)
    print(f"{argv[1]}: {len(image)} bytes, header {image[:4].hex(' ')}: ok")


if __name__ == "__main__":
    main(sys.argv)
