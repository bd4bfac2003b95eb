#!/usr/bin/env python3
"""Draws the program's icon (a ring with a tail on a rounded dark square, the
colours of the host window) and writes it as a Windows .ico with 16, 32 and 48
pixel images. The committed host/src/main/windows/QuillaneHost.ico comes from
this script: python3 scripts/make-app-icon.py host/src/main/windows/QuillaneHost.ico
"""
import math
import struct
import sys

BACKGROUND = (0x1a, 0x1a, 0x2e)  # the window's clear colour, a little lighter
RING = (0x3d, 0xd6, 0xc4)


def coverage(size, inside, samples=4):
    """Fraction of each pixel that `inside(x, y)` covers, x and y in 0..1."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            hit = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    hit += inside(x, y)
            row.append(hit / (samples * samples))
        rows.append(row)
    return rows


def rounded_square(x, y, margin=0.04, radius=0.2):
    lo, hi = margin + radius, 1 - margin - radius
    dx = max(lo - x, 0, x - hi)
    dy = max(lo - y, 0, y - hi)
    return dx * dx + dy * dy <= radius * radius and margin <= x <= 1 - margin and margin <= y <= 1 - margin


def ring_with_tail(x, y):
    r = math.hypot(x - 0.47, y - 0.47)
    if 0.19 <= r <= 0.31:
        return True
    # The tail: a thick stroke from inside the ring out to the lower right.
    ax, ay, bx, by = 0.55, 0.55, 0.80, 0.80
    t = max(0.0, min(1.0, ((x - ax) * (bx - ax) + (y - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)))
    return math.hypot(x - (ax + t * (bx - ax)), y - (ay + t * (by - ay))) <= 0.065


def image(size):
    square = coverage(size, rounded_square)
    mark = coverage(size, ring_with_tail)
    pixels = bytearray()
    for py in reversed(range(size)):  # bottom-up rows
        for px in range(size):
            a, m = square[py][px], mark[py][px]
            colour = [BACKGROUND[i] * (1 - m) + RING[i] * m for i in range(3)]
            pixels += bytes((round(colour[2]), round(colour[1]), round(colour[0]), round(255 * a)))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    mask = bytes(((size + 31) // 32) * 4 * size)  # all visible: the alpha channel decides
    return header + bytes(pixels) + mask


def main(path):
    sizes = [16, 32, 48]
    images = [image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
