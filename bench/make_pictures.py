#!/usr/bin/env python3
"""make_pictures.py FOLDER WIDTHxHEIGHT...: writes the benchmark's input
pictures, FOLDER/in_WIDTHxHEIGHT.bmp, as uncompressed 24-bit BMPs stored
bottom-up. The content is the same on every run and varied enough that no
channel is constant: a few distinct byte ramps, each row a slice of one of them
at an offset that changes from row to row. A width or height of 0 gives a file
of headers only. Written directly, without an imaging library, so that even an
18000 x 12000 picture takes seconds."""
import struct
import sys
from pathlib import Path

RAMPS = 7  # distinct ramps; rows cycle through them
SPAN = 3 * 331  # room for the row offsets within a ramp


def row_stride(width):
    return (3 * width + 3) // 4 * 4


def headers(width, height):
    """The 14-byte file header and the 40-byte info header."""
    pixel_bytes = row_stride(width) * height
    return (struct.pack("<2sIHHI", b"BM", 54 + pixel_bytes, 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, pixel_bytes,
                        3780, 3780, 0, 0))


def ramp(k, length):
    """Ramp number k: bytes rising at a rate of its own, bent by slower terms."""
    return bytes((i * (k + 3) + (i // 251) * 17 + ((i * i) >> 11) + 41 * k) & 255
                 for i in range(length))


def rows(width, height):
    """Yields the file's rows, padding included, bottom row first."""
    row_bytes = 3 * width
    padding = bytes(row_stride(width) - row_bytes)
    ramps = [ramp(k, row_bytes + SPAN) for k in range(RAMPS)]
    for y in range(height):
        offset = (y * 97 + y // RAMPS * 5) % SPAN
        yield ramps[y % RAMPS][offset:offset + row_bytes] + padding


def write_picture(path, width, height):
    with open(path, "wb") as f:
        f.write(headers(width, height))
        if width > 0:
            for row in rows(width, height):
                f.write(row)


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for size in sys.argv[2:]:
        width, height = (int(n) for n in size.split("x"))
        write_picture(folder / f"in_{size}.bmp", width, height)


if __name__ == "__main__":
    main()
