#!/usr/bin/env python3
"""Draws the device icons (a handset on a blue tile) as 24-bit PNGs, standard library only."""
import struct
import sys
import zlib

BACKGROUND = (29, 79, 115)
BODY = (255, 255, 255)
SCREEN = (120, 200, 235)
SAMPLES = 4  # per axis, for anti-aliased edges


def inside_rounded_rect(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return left <= x <= right and top <= y <= bottom and (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(u, v):
    """Colour of the point (u, v) of the unit square."""
    if inside_rounded_rect(u, v, 0.30, 0.12, 0.70, 0.88, 0.07):
        if inside_rounded_rect(u, v, 0.35, 0.22, 0.65, 0.72, 0.02):
            return SCREEN
        if (u - 0.5) ** 2 + (v - 0.80) ** 2 > 0.035 ** 2:
            return BODY
    return BACKGROUND


def pixel(size, x, y):
    total = [0, 0, 0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            colour = colour_at((x + (sx + 0.5) / SAMPLES) / size, (y + (sy + 0.5) / SAMPLES) / size)
            total = [t + c for t, c in zip(total, colour)]
    return bytes(round(t / SAMPLES ** 2) for t in total)


def chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def png(size):
    rows = b"".join(b"\0" + b"".join(pixel(size, x, y) for x in range(size)) for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)  # 8-bit RGB, no interlace
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


if __name__ == "__main__":
    directory = sys.argv[1] if len(sys.argv) > 1 else "."
    for size in (48, 120):
        with open(f"{directory}/tmserverd-{size}.png", "wb") as out:
            out.write(png(size))
