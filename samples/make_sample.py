#!/usr/bin/env python3
"""Writes samples/sample.bmp: a 240 x 160 colour pattern as an uncompressed
24-bit BMP (bottom row first), the picture the README frames."""
import math
import struct
from pathlib import Path

WIDTH, HEIGHT = 240, 160


def pixel(x, y):
    """Blue, green, red of the pixel at column x, row y from the top."""
    # Hue sweep left to right, darker towards the bottom, with a white ring.
    hue = x / WIDTH * 6.0
    sector, frac = int(hue), hue - int(hue)
    rgb = [(1, frac, 0), (1 - frac, 1, 0), (0, 1, frac),
           (0, 1 - frac, 1), (frac, 0, 1), (1, 0, 1 - frac)][sector % 6]
    shade = 1.0 - 0.6 * y / HEIGHT
    r, g, b = (int(255 * c * shade) for c in rgb)
    if abs(math.hypot(x - WIDTH / 2, y - HEIGHT / 2) - 50) < 3:
        r = g = b = 255
    return bytes((b, g, r))


def main():
    stride = (3 * WIDTH + 3) // 4 * 4
    rows = []
    for y in reversed(range(HEIGHT)):
        row = b"".join(pixel(x, y) for x in range(WIDTH))
        rows.append(row + bytes(stride - len(row)))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, 0, 3780, 3780, 0, 0)
    Path(__file__).with_name("sample.bmp").write_bytes(header + pixels)


if __name__ == "__main__":
    main()
