#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into fuzz/corpus/: small 24-bit BMPs in
every layout the reader accepts (plain, padded, top-down, colour table, bit
fields, later header versions, empty) and a few it refuses."""
import struct
from pathlib import Path

OUT = Path(__file__).with_name("corpus")


def bmp(width, height, info_size=40, top_down=False, gap=0, bitfields=False,
        bits=24, compression=None):
    stride = (3 * width + 3) // 4 * 4
    masks = 12 if bitfields and info_size == 40 else 0
    offset = 14 + info_size + masks + gap
    pixels = bytearray()
    for y in range(height):
        row = bytes((x * 40 + y * 7) % 256 for x in range(3 * width))
        pixels += row + bytes(stride - len(row))
    if compression is None:
        compression = 3 if bitfields else 0
    info = struct.pack("<IiiHHIIiiII", info_size, width, -height if top_down else height,
                       1, bits, compression, 0, 3780, 3780, 0, 0)
    info += bytes(info_size - 40)
    head = bytearray(struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info)
    if bitfields:
        head += bytes(max(0, 66 - len(head)))
        head[54:66] = struct.pack("<III", 0x00FF0000, 0x0000FF00, 0x000000FF)
    head += bytes(offset - len(head))
    return bytes(head) + bytes(pixels)


def main():
    OUT.mkdir(exist_ok=True)
    seeds = {
        "plain_4x3.bmp": bmp(4, 3),
        "padded_3x2.bmp": bmp(3, 2),
        "blocks_17x9.bmp": bmp(17, 9),
        "top_down_9x17.bmp": bmp(9, 17, top_down=True),
        "colour_table_5x5.bmp": bmp(5, 5, gap=64),
        "bitfields_6x4.bmp": bmp(6, 4, bitfields=True),
        "v5_bitfields_8x8.bmp": bmp(8, 8, info_size=124, bitfields=True),
        "v4_7x3.bmp": bmp(7, 3, info_size=108),
        "empty_0x5.bmp": bmp(0, 5),
        "eight_bit_4x4.bmp": bmp(4, 4, bits=8),
        "rle_4x4.bmp": bmp(4, 4, compression=1),
    }
    for name, data in seeds.items():
        (OUT / name).write_bytes(data)
    (OUT / "truncated_4x3.bmp").write_bytes(seeds["plain_4x3.bmp"][:70])


if __name__ == "__main__":
    main()
