#!/usr/bin/env python3
"""Draws the host's logo, host/assets/logo.png: a purple disc with a white "Q"
ring and tail, anti-aliased, 128 x 128 RGBA. Standard library only."""
import math
import struct
import sys
import zlib

SIZE = 128


def coverage(distance):
    # Signed distance (negative inside) to pixel coverage, one pixel of blur.
    return max(0.0, min(1.0, 0.5 - distance))


def pixel(x, y):
    cx = cy = SIZE / 2
    dx, dy = x + 0.5 - cx, y + 0.5 - cy
    r = math.hypot(dx, dy)
    disc = coverage(r - 62)
    if disc == 0:
        return (0, 0, 0, 0)
    # Diagonal gradient between two of the theme's purples.
    t = (x + y) / (2 * SIZE)
    base = [int(a + (b - a) * t) for a, b in zip((140, 102, 250), (89, 64, 178))]
    ring = coverage(abs(r - 30) - 8)
    # The tail: a thick segment from the ring towards the lower right.
    ax, ay, bx, by = 12, 12, 40, 40
    px, py = dx - ax, dy - ay
    vx, vy = bx - ax, by - ay
    h = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    tail = coverage(math.hypot(px - vx * h, py - vy * h) - 8)
    white = max(ring, tail)
    rgb = [int(c + (250 - c) * white) for c in base]
    return (*rgb, int(255 * disc))


def png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "host/assets/logo.png"
    with open(out, "wb") as f:
        f.write(png(SIZE, SIZE, [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]))
