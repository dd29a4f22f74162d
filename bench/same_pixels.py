#!/usr/bin/env python3
"""same_pixels.py REFERENCE.bmp OTHER.bmp...: exits 1 unless every OTHER
decodes to the same size and pixels as REFERENCE."""
import sys

from PIL import Image


def main():
    reference = Image.open(sys.argv[1]).convert("RGB")
    for path in sys.argv[2:]:
        other = Image.open(path).convert("RGB")
        if other.size != reference.size or other.tobytes() != reference.tobytes():
            print(f"{path}: pixels differ from {sys.argv[1]}", file=sys.stderr)
            sys.exit(1)


if __name__ == "__main__":
    main()
