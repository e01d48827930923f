#!/usr/bin/env python3
"""Draws the updater's icon, a small pinecone, and writes src/resources/pinecone.ico.

One image: 32 x 32 pixels, 16 colours (4 bits per pixel, one plane), stored as a classic icon
image of exactly 744 bytes (header 40, palette 64, colour bitmap 512, transparency mask 128).
Plain Python, no libraries:  python3 scripts/make_icon.py [OUTPUT.ico]
"""
import math
import os
import struct
import sys

SIZE = 32

# Palette index -> (red, green, blue). Index 0 is also what transparent pixels hold.
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 transparent / black
    (0x2B, 0x17, 0x08),  # 1 outline, deepest brown
    (0x4F, 0x2C, 0x12),  # 2 gap between scales
    (0x7A, 0x46, 0x1D),  # 3 scale body
    (0xA3, 0x66, 0x2C),  # 4 scale, lit
    (0xD2, 0x9A, 0x55),  # 5 scale tip highlight
    (0x1E, 0x5A, 0x1E),  # 6 dark needle
    (0x3A, 0x94, 0x30),  # 7 needle
    (0x8C, 0xD0, 0x5A),  # 8 light needle
    (0x5E, 0x3A, 0x1A),  # 9 stem
    (0x80, 0x80, 0x80),
    (0xC0, 0xC0, 0xC0),
    (0xFF, 0x00, 0x00),
    (0x00, 0x00, 0xFF),
    (0xFF, 0xFF, 0x00),
    (0xFF, 0xFF, 0xFF),
]
TRANSPARENT = None


def cone_half_width(y):
    """Half the cone's width at row y (0 at the top), or 0 outside it; rounder at the top,
    pointed at the bottom."""
    top, bottom, widest = 7.0, 31.0, 14.0
    if y < top or y > bottom:
        return 0.0
    if y <= widest:
        t = (y - top) / (widest - top)
        return 9.5 * math.sqrt(max(0.0, 1.0 - (1.0 - t) ** 2)) + 0.5
    t = (y - widest) / (bottom - widest)
    return 10.0 * (1.0 - t ** 1.6)


def inside_cone(x, y):
    return abs(x + 0.5 - 16.0) <= cone_half_width(y + 0.5)


def scale_colour(x, y):
    # Scales sit on a diamond lattice; within a cell, the lower part (the tip of the scale) is
    # lit and the upper part falls into the gap under the scale above.
    u = (x - 16) + (y - 8) * 1.0
    v = (y - 8) - (x - 16) * 1.0
    cu = u % 6.0
    cv = v % 6.0
    depth = min(cu, cv)  # distance from the cell's upper edges
    if depth < 1.0:
        return 2
    if cu > 4.5 and cv > 4.5:
        return 5
    if cu > 3.5 or cv > 3.5:
        return 4
    return 3


def needle_pixels():
    """The tuft of needles and the stem above the cone: (x, y, colour)."""
    pixels = []
    def line(x0, y0, x1, y1, colour):
        steps = max(abs(x1 - x0), abs(y1 - y0))
        for i in range(steps + 1):
            pixels.append((round(x0 + (x1 - x0) * i / steps), round(y0 + (y1 - y0) * i / steps), colour))
    line(16, 7, 9, 1, 6)
    line(16, 7, 23, 1, 6)
    line(16, 7, 12, 0, 7)
    line(16, 7, 20, 0, 7)
    line(16, 7, 16, 0, 8)
    line(16, 7, 7, 4, 7)
    line(16, 7, 25, 4, 7)
    for y in range(5, 9):
        pixels.append((15, y, 9))
        pixels.append((16, y, 9))
    return pixels


def draw():
    image = [[TRANSPARENT] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if inside_cone(x, y):
                image[y][x] = scale_colour(x, y)
    # Outline: cone pixels next to the outside.
    outline = []
    for y in range(SIZE):
        for x in range(SIZE):
            if image[y][x] is None:
                continue
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                nx, ny = x + dx, y + dy
                if not (0 <= nx < SIZE and 0 <= ny < SIZE) or image[ny][nx] is None:
                    outline.append((x, y))
                    break
    for x, y in outline:
        image[y][x] = 1
    for x, y, colour in needle_pixels():
        # Over the cone's rounded top only where the tuft sits (rows above 8).
        if 0 <= x < SIZE and 0 <= y < SIZE and (image[y][x] is None or y < 8):
            image[y][x] = colour
    return image


def encode(image):
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, SIZE * SIZE // 2 + SIZE * 4,
                         0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up rows
        row = image[y]
        for x in range(0, SIZE, 2):
            hi = row[x] or 0
            lo = row[x + 1] or 0
            colour.append(hi << 4 | lo)
        bits = 0
        for x in range(SIZE):
            bits = bits << 1 | (1 if row[x] is None else 0)
        mask += struct.pack(">I", bits)  # 32 pixels, most significant bit first, no padding needed
    data = header + palette + bytes(colour) + bytes(mask)
    assert len(data) == 744, len(data)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(data), 6 + 16)
    return directory + entry + data


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "resources", "pinecone.ico")
    with open(output, "wb") as f:
        f.write(encode(draw()))
    print(output)


if __name__ == "__main__":
    main()
