#!/usr/bin/env python3
"""Writes the benchmark's input pictures into the folder given: 24-bit BMPs of
720 x 480 and 6000 x 4000 with varied content (a fractal, gradients and noise),
so that no channel is constant and nothing compresses away."""
import sys
from pathlib import Path

from PIL import Image


def picture(width, height):
    fractal = Image.effect_mandelbrot((width, height), (-2.2, -1.3, 1.0, 1.3), 80)
    gradient = Image.linear_gradient("L").resize((width, height))
    noise = Image.effect_noise((width, height), 64)
    return Image.merge("RGB", (fractal, gradient.transpose(Image.Transpose.ROTATE_90)
                               .resize((width, height)), noise))


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for width, height in ((720, 480), (6000, 4000)):
        picture(width, height).save(folder / f"in_{width}x{height}.bmp")


if __name__ == "__main__":
    main()
