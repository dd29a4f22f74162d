#!/usr/bin/env python3
"""vandrel against independent BMP decoders (Pillow and ImageMagick).

- Every file of a public BMP corpus is either framed, with every pixel checked
  against the input as Pillow decodes it, or refused with status 1, one of the
  program's messages, nothing on standard error and no file left behind.
- The program's own outputs (padded and unpadded rows, a top-down input)
  decode to the same size and pixels in Pillow and in ImageMagick.

Usage: interop_test.py VANDREL CORPUS_DIR [EMULATOR]
(EMULATOR runs a cross-built VANDREL, for example wine64 or qemu-i386-static.)
"""
import math
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

# Exit status that CTest reports as a skipped test.
SKIPPED = 77
try:
    from PIL import Image
except ImportError:
    print("Pillow is not installed (Debian: python3-pil): not run", file=sys.stderr)
    sys.exit(SKIPPED)
if shutil.which("identify") is None:
    print("ImageMagick is not installed (Debian: imagemagick): not run", file=sys.stderr)
    sys.exit(SKIPPED)

VANDREL = []
CORPUS = Path()
# The refusals a readable file can earn.
REFUSALS = {
    b"input file size err!!\n",
    b"input file format err!!\n",
    b"image too large err!!\n",
}
# The corpus's only uncompressed 24-bit pictures; all else must be refused.
FRAMED = {"rgb24.bmp", "rgb24pal.bmp"}


# What Wine prints, now and then just after start-up, when it could not start
# the program at all; the program itself never prints it.
WINE_COULD_NOT_START = b"Application could not be started"


def run(args, cwd):
    command = [*VANDREL, *args]
    result = subprocess.run(command, cwd=cwd, capture_output=True, check=False)
    under_emulator = len(VANDREL) > 1
    if under_emulator and result.stdout.startswith(WINE_COULD_NOT_START):  # one more try
        result = subprocess.run(command, cwd=cwd, capture_output=True, check=False)
    return result


def framed_like(picture):
    """The framed picture, made independently with Pillow."""
    width, height = picture.size
    side = int(math.hypot(width - 1, height - 1) + 0.5) + 6
    side += side % 2
    canvas = Image.new("RGB", (side, side), (128, 128, 128))
    canvas.paste(picture.convert("RGB"), ((side - width) // 2, (side - height) // 2))
    return canvas


def decode_with_imagemagick(path):
    """Size and RGB bytes of a BMP as ImageMagick reads it."""
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True,
                          check=True).stdout.split()
    pixels = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True,
                            check=True).stdout
    return (int(size[0]), int(size[1])), pixels


def bmp_bytes(picture, top_down=False):
    """A 24-bit BMP of an RGB picture, rows bottom-up or top-down."""
    width, height = picture.size
    stride = (3 * width + 3) // 4 * 4
    rows = []
    for y in range(height):
        rgb = picture.crop((0, y, width, y + 1)).tobytes()
        bgr = bytes(b for i in range(0, len(rgb), 3) for b in (rgb[i + 2], rgb[i + 1], rgb[i]))
        rows.append(bgr + bytes(stride - len(bgr)))
    if not top_down:
        rows.reverse()
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, 24, 0,
                          0, 3780, 3780, 0, 0)
    return header + pixels


def pattern(width, height):
    picture = Image.new("RGB", (width, height))
    picture.putdata([((x * 37 + y) % 256, (y * 53) % 256, (x * y + 90) % 256)
                     for y in range(height) for x in range(width)])
    return picture


class Corpus(unittest.TestCase):
    def test_every_file_is_framed_exactly_or_refused_cleanly(self):
        files = sorted(CORPUS.glob("*/*.bmp"))
        self.assertTrue(files, f"no BMP corpus at {CORPUS}")
        outcomes = {}
        for path in files:
            with self.subTest(path.name), tempfile.TemporaryDirectory() as work:
                result = run(["-i", str(path), "-o", "out"], work)
                left = sorted(p.name for p in Path(work).iterdir())
                self.assertEqual(result.stderr, b"")
                result.stdout = result.stdout.replace(b"\r\n", b"\n")  # Windows text streams
                if path.name in FRAMED:
                    self.assertEqual((result.returncode, result.stdout), (0, b""))
                    self.assertEqual(len(left), 1)
                    expected = framed_like(Image.open(path))
                    self.assertEqual(left[0], f"{expected.width}x{expected.height}_out.bmp")
                    output = Path(work) / left[0]
                    self.assertEqual(Image.open(output).convert("RGB").tobytes(),
                                     expected.tobytes())
                    self.assertEqual(decode_with_imagemagick(output),
                                     (expected.size, expected.tobytes()))
                    outcome = "framed"
                else:
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(result.stdout, REFUSALS)
                    self.assertEqual(left, [])
                    outcome = result.stdout.decode().strip()
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
        print(f"\ncorpus: {len(files)} files: {outcomes}", file=sys.stderr)


class Readback(unittest.TestCase):
    def test_outputs_decode_alike_in_pillow_and_imagemagick(self):
        cases = {"padded": (pattern(3, 3), False), "unpadded": (pattern(5, 5), False),
                 "top_down": (pattern(70, 67), True), "wide": (pattern(131, 20), False)}
        for name, (picture, top_down) in cases.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                (Path(work) / "in.bmp").write_bytes(bmp_bytes(picture, top_down))
                self.assertEqual(run(["-i", "in.bmp", "-o", name], work).returncode, 0)
                expected = framed_like(picture)
                output = Path(work) / f"{expected.width}x{expected.height}_{name}.bmp"
                decoded = Image.open(output)
                self.assertEqual((decoded.format, decoded.mode), ("BMP", "RGB"))
                self.assertEqual(decoded.tobytes(), expected.tobytes())
                self.assertEqual(decode_with_imagemagick(output),
                                 (expected.size, expected.tobytes()))


if __name__ == "__main__":
    VANDREL = [*sys.argv[3:], str(Path(sys.argv[1]).resolve())]
    CORPUS = Path(sys.argv[2]).resolve()
    unittest.main(argv=sys.argv[:1], verbosity=2)
