#!/usr/bin/env python3
"""Draws the status pictures and the start-up animation, 128 x 128 pixels each, and the style's
glyphs.

  xgif.gif  start-up logo: a bold F in a metal ring; the first frame (held 1 s) is the logo at
            rest, then a spark runs once round the ring in 19 frames of 100 ms; looping
  wait.gif  busy animation on a 3 x 3 grid: a lit cell with a fading trail runs round the outer
            eight cells in 24 frames of 90 ms while the centre breathes; looping
  yes.png   green tick, transparent background
  no.png    red cross, transparent background
  arrow.png, check.png   the style's drop-down arrow and check box tick
  ferrule.png  the program's icon: the start-up logo at rest
  ferrule.ico  the same icon for Windows (the installer and the Start-menu entry), 16 to 128 pixels

Shapes are signed distance functions drawn with one pixel of antialiasing; every shape has a
dark rim so that it stands out on light and dark bars alike when scaled down to 25 x 23. The
GIF, PNG and ICO writers are our own (standard library only: zlib for PNG, an LZW coder for GIF).

Usage: draw_pictures.py OUTPUT_FOLDER
"""

import math
import os
import struct
import sys
import zlib

SIZE = 128
RIM = (14, 17, 22)


def hex_colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


# Shapes: a signed distance function (negative inside, in pixels) and the box that holds the
# shape, as (x0, y0, x1, y1).

class Shape:
    def __init__(self, sdf, box):
        self.sdf, self.box = sdf, box


def circle(cx, cy, r):
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - r, (cx - r, cy - r, cx + r, cy + r))


def ring(cx, cy, r, half_width):
    outer = r + half_width
    return Shape(lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - half_width,
                 (cx - outer, cy - outer, cx + outer, cy + outer))


def rounded_box(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - r

    return Shape(sdf, (x0, y0, x1, y1))


def capsule(ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - r

    return Shape(sdf, (min(ax, bx) - r, min(ay, by) - r, max(ax, bx) + r, max(ay, by) + r))


def grown(shape, amount):
    x0, y0, x1, y1 = shape.box
    return Shape(lambda x, y: shape.sdf(x, y) - amount,
                 (x0 - amount, y0 - amount, x1 + amount, y1 + amount))


class Canvas:
    """Premultiplied RGBA in floats (0..1 alpha, 0..255 colour)."""

    def __init__(self, width=SIZE, height=SIZE):
        self.width, self.height = width, height
        self.px = [(0.0, 0.0, 0.0, 0.0)] * (width * height)

    def fill(self, shape, colour):
        """Paints the shape; colour is an RGB tuple or a function (x, y) -> RGB."""
        x0, y0, x1, y1 = (int(v) for v in shape.box)
        for y in range(max(0, y0 - 1), min(self.height, y1 + 2)):
            for x in range(max(0, x0 - 1), min(self.width, x1 + 2)):
                cover = 0.5 - shape.sdf(x + 0.5, y + 0.5)
                if cover <= 0.0:
                    continue
                cover = min(cover, 1.0)
                r, g, b = colour(x + 0.5, y + 0.5) if callable(colour) else colour
                i = y * self.width + x
                pr, pg, pb, pa = self.px[i]
                keep = 1.0 - cover
                self.px[i] = (r * cover + pr * keep, g * cover + pg * keep, b * cover + pb * keep,
                              cover + pa * keep)

    def straight(self):
        """Pixels as (r, g, b, a) bytes with straight alpha."""
        out = []
        for r, g, b, a in self.px:
            if a <= 0.0:
                out.append((0, 0, 0, 0))
            else:
                out.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
        return out


# Artwork.

STEEL = hex_colour("8a98a8")
STEEL_DARK = hex_colour("4c5866")
FACE = hex_colour("1b2430")
ACCENT = hex_colour("3daee9")
SPARK = hex_colour("e8fbff")
LETTER = hex_colour("f4f7fa")


def logo_frame(spark_angle):
    """The logo; spark_angle (radians, clockwise from the top) places the running spark."""
    c = Canvas()
    c.fill(circle(64, 64, 61), RIM)

    def ring_colour(x, y):
        # Metal shading from top-left to bottom-right, lit by the spark's head and its tail.
        base = mix(STEEL, STEEL_DARK, max(0.0, min(1.0, (x + y - 40) / 176)))
        if spark_angle is None:
            return base
        angle = math.atan2(x - 64, 64 - y)
        behind = (spark_angle - angle) % (2 * math.pi)
        glow = max(0.0, 1.0 - behind / 2.2)
        return mix(mix(base, ACCENT, min(1.0, 1.6 * glow)), SPARK, glow ** 3)

    c.fill(ring(64, 64, 50, 8), ring_colour)
    c.fill(circle(64, 64, 42.5), FACE)
    stem = rounded_box(44, 33, 60, 95, 2.5)
    top = rounded_box(44, 33, 88, 48, 2.5)
    middle = rounded_box(44, 57, 81, 71, 2.5)
    for part in (stem, top, middle):
        c.fill(grown(part, 2.5), RIM)
    for part in (stem, top, middle):
        c.fill(part, LETTER)
    c.fill(rounded_box(62, 73, 84, 95, 3), ACCENT)  # the "module" the F writes into
    return c


GRID_OFF = hex_colour("2b3644")
GRID_ON = ACCENT
GRID_HEAD = hex_colour("d8f4ff")
OUTER_CELLS = [(0, 0), (1, 0), (2, 0), (2, 1), (2, 2), (1, 2), (0, 2), (0, 1)]


def wait_frame(index, count):
    c = Canvas()
    head = index * len(OUTER_CELLS) / count  # in cells, moving clockwise
    for col in range(3):
        for row in range(3):
            x0, y0 = 6 + col * 41, 6 + row * 41
            cell = rounded_box(x0, y0, x0 + 34, y0 + 34, 7)
            if (col, row) == (1, 1):
                breath = 0.5 + 0.5 * math.cos(2 * math.pi * index / count)
                colour = mix(GRID_OFF, GRID_ON, 0.25 + 0.45 * breath)
            else:
                behind = (head - OUTER_CELLS.index((col, row))) % len(OUTER_CELLS)
                glow = max(0.0, 1.0 - behind / 3.5)
                colour = mix(GRID_OFF, GRID_ON, glow)
                colour = mix(colour, GRID_HEAD, max(0.0, 1.0 - behind) * 0.7)
            c.fill(grown(cell, 3), RIM)
            c.fill(cell, colour)
    return c


def stroke_picture(segments, colour, rim):
    c = Canvas()
    strokes = [capsule(*a, *b, 11) for a, b in segments]
    for s in strokes:
        c.fill(grown(s, 4), rim)
    for s in strokes:
        c.fill(s, colour)
    return c


def tick():
    return stroke_picture([((28, 68), (52, 92)), ((52, 92), (101, 37))],
                          hex_colour("35c759"), hex_colour("0c3a18"))


def cross():
    return stroke_picture([((34, 34), (94, 94)), ((94, 34), (34, 94))],
                          hex_colour("e53935"), hex_colour("480b0b"))


# Glyphs of the visual style, drawn at twice the size they are shown at.

GLYPH = hex_colour("c9d1d9")


def arrow():
    """The drop-down arrow, 20 x 12: a rounded chevron."""
    c = Canvas(20, 12)
    for a, b in (((3, 3), (10, 9)), ((10, 9), (17, 3))):
        c.fill(capsule(*a, *b, 1.8), GLYPH)
    return c


def check():
    """The tick of a checked check box, 28 x 28, dark on the accent colour."""
    c = Canvas(28, 28)
    for a, b in (((6, 15), (11.5, 20.5)), ((11.5, 20.5), (22, 8))):
        c.fill(capsule(*a, *b, 2.4), hex_colour("0d1014"))
    return c


# PNG writer.

def png_bytes(canvas):
    rows = b""
    pixels = canvas.straight()
    w = canvas.width
    for y in range(canvas.height):
        rows += b"\0" + bytes(v for p in pixels[y * w:(y + 1) * w] for v in p)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", w, canvas.height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


# ICO writer.

def scaled_down(canvas, factor):
    """The canvas with each factor x factor square of pixels averaged into one."""
    small = Canvas(canvas.width // factor, canvas.height // factor)
    area = factor * factor
    for y in range(small.height):
        for x in range(small.width):
            square = [canvas.px[(y * factor + j) * canvas.width + x * factor + i]
                      for j in range(factor) for i in range(factor)]
            small.px[y * small.width + x] = tuple(sum(p[k] for p in square) / area
                                                  for k in range(4))
    return small


def ico_bytes(canvas, factors=(8, 4, 2, 1)):
    """A Windows icon of the canvas at its size divided by each factor: 32-bit BGRA bitmaps with
    an all-clear AND mask, as every Windows reads them."""
    images = []
    for factor in factors:
        small = scaled_down(canvas, factor)
        w, h = small.width, small.height
        pixels = small.straight()
        rows = b"".join(bytes(v for r, g, b, a in pixels[y * w:(y + 1) * w] for v in (b, g, r, a))
                        for y in reversed(range(h)))
        mask = bytes(((w + 31) // 32) * 4 * h)
        header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(rows) + len(mask),
                             0, 0, 0, 0)
        images.append((w, h, header + rows + mask))
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for w, h, data in images:
        directory += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + b"".join(data for _, _, data in images)


# GIF writer.

def palette_for(frames):
    """One palette for all frames: index 0 is transparent, the colours of opaque pixels follow,
    their precision lowered until they fit into 255 entries."""
    opaque = [p[:3] for f in frames for p in f if p[3] >= 128]
    for shift in range(8):
        mask = 0xFF << shift & 0xFF
        colours = sorted({(r & mask, g & mask, b & mask) for r, g, b in opaque})
        if len(colours) <= 255:
            return shift, colours
    raise AssertionError("unreachable: one colour per channel fits")


def lzw(indices, min_size=8):
    clear, end = 1 << min_size, (1 << min_size) + 1
    out, bits, nbits = bytearray(), 0, 0
    size, table, next_code = min_size + 1, {}, end + 1

    def emit(code):
        nonlocal bits, nbits
        bits |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            nbits -= 8

    emit(clear)
    prefix = indices[0]
    for k in indices[1:]:
        key = prefix << 8 | k
        if key in table:
            prefix = table[key]
            continue
        emit(prefix)
        if next_code < 4096:
            table[key] = next_code
            next_code += 1
            if next_code > 1 << size and size < 12:
                size += 1
        else:
            emit(clear)
            size, table, next_code = min_size + 1, {}, end + 1
        prefix = k
    emit(prefix)
    emit(end)
    if nbits:
        out.append(bits & 0xFF)
    return bytes(out)


def gif_bytes(canvases, delays_ms):
    frames = [c.straight() for c in canvases]
    shift, colours = palette_for(frames)
    mask = 0xFF << shift & 0xFF
    index_of = {c: i + 1 for i, c in enumerate(colours)}
    table = bytes([0, 0, 0]) + b"".join(bytes(c) for c in colours)
    table += bytes(768 - len(table))

    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", SIZE, SIZE, 0xF7, 0, 0) + table)
    out += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    for pixels, delay in zip(frames, delays_ms):
        # Graphic control: restore to background after the frame, index 0 transparent.
        out += b"\x21\xF9\x04" + struct.pack("<BHB", 0x09, delay // 10, 0) + b"\x00"
        out += b"\x2C" + struct.pack("<HHHHB", 0, 0, SIZE, SIZE, 0)
        indices = [index_of[(r & mask, g & mask, b & mask)] if a >= 128 else 0
                   for r, g, b, a in pixels]
        data = lzw(indices)
        out.append(8)
        for i in range(0, len(data), 255):
            out += bytes([len(data[i:i + 255])]) + data[i:i + 255]
        out.append(0)
    out.append(0x3B)
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        raise SystemExit(f"usage: {argv[0]} OUTPUT_FOLDER")
    folder = argv[1]
    os.makedirs(folder, exist_ok=True)
    spark_frames = 19
    logo = [logo_frame(None)] + [logo_frame(2 * math.pi * (i + 1) / spark_frames)
                                 for i in range(spark_frames)]
    outputs = {
        "xgif.gif": gif_bytes(logo, [1000] + [100] * spark_frames),
        "wait.gif": gif_bytes([wait_frame(i, 24) for i in range(24)], [90] * 24),
        "yes.png": png_bytes(tick()),
        "no.png": png_bytes(cross()),
        "arrow.png": png_bytes(arrow()),
        "check.png": png_bytes(check()),
        "ferrule.png": png_bytes(logo[0]),
        "ferrule.ico": ico_bytes(logo[0]),
    }
    for name, data in outputs.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main(sys.argv)
