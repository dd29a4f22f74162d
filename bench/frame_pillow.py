#!/usr/bin/env python3
"""The same framing done with Pillow, as a user might script it:
frame_pillow.py INPUT.bmp OUTPUT.bmp"""
import math
import sys

from PIL import Image


def main():
    picture = Image.open(sys.argv[1])
    width, height = picture.size
    side = int(math.hypot(width - 1, height - 1) + 0.5) + 6
    side += side % 2
    canvas = Image.new("RGB", (side, side), (128, 128, 128))
    canvas.paste(picture, ((side - width) // 2, (side - height) // 2))
    canvas.save(sys.argv[2], format="BMP")


if __name__ == "__main__":
    main()
