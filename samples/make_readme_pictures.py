#!/usr/bin/env python3
"""Makes the README's before-and-after pictures: frames samples/sample.bmp
with the given vandrel binary and writes both pictures as PNG into doc/.

Usage: samples/make_readme_pictures.py build/vandrel   (needs Pillow)"""
import subprocess
import sys
import tempfile
from pathlib import Path

from PIL import Image

ROOT = Path(__file__).resolve().parent.parent


def main():
    vandrel = Path(sys.argv[1]).resolve()
    sample = ROOT / "samples" / "sample.bmp"
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([str(vandrel), "-i", str(sample), "-o", "sample"], cwd=work, check=True)
        (framed,) = Path(work).glob("*_sample.bmp")
        Image.open(framed).save(ROOT / "doc" / "sample_after.png")
    Image.open(sample).save(ROOT / "doc" / "sample_before.png")


if __name__ == "__main__":
    main()
