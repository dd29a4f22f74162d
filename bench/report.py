#!/usr/bin/env python3
"""report.py RESULTS.csv: prints, for each place the benchmark ran in, a
markdown table with a row per picture, from the raw results alternate.py
wrote: medians of the timed rounds, the median of the per-round ratios to the
floor (rounds alternate, so round r of one tool ran beside round r of the
other), nanoseconds per output byte and peak memory. Columns for Pillow,
ImageMagick and a "before" binary appear when those were timed."""
import csv
import statistics
import sys
from dataclasses import dataclass, field

PLACES = {"disk": "disk (build-release/)", "ram": "RAM disk (/dev/shm)"}


@dataclass
class Picture:
    """One picture in one place, and each tool's results on it."""
    place: str
    width: int
    height: int
    side: int
    output_bytes: int
    times: dict = field(default_factory=dict)  # tool -> [seconds per round]
    peaks: dict = field(default_factory=dict)  # tool -> KiB

    def kind(self):
        if self.width == 0 or self.height == 0:
            return "empty"
        return "strip" if max(self.width, self.height) >= 20 * min(self.width, self.height) else "picture"

    def label(self):
        kind = self.kind()
        return f"{self.width} x {self.height}" + ("" if kind == "picture" else f" {kind}")

    def median(self, tool):
        return statistics.median(self.times[tool])

    def ratio(self, tool, other):
        """Median of the per-round ratios of tool's time to other's."""
        return statistics.median(a / b for a, b in zip(self.times[tool], self.times[other]))


def load(path):
    """The pictures of a results file, in the order they were measured."""
    pictures = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            key = (row["place"], row["width"], row["height"])
            if key not in pictures:
                pictures[key] = Picture(row["place"], int(row["width"]), int(row["height"]),
                                        int(row["side"]), int(row["output_bytes"]))
            pictures[key].times[row["tool"]] = [float(t) for t in row["times_s"].split()]
            pictures[key].peaks[row["tool"]] = int(row["peak_kib"])
    return list(pictures.values())


def ms(seconds):
    t = seconds * 1000
    return f"{t:.2f} ms" if t < 10 else f"{t:.1f} ms" if t < 1000 else f"{t / 1000:.2f} s"


def size(n):
    return f"{n / 1e3:.1f} kB" if n < 1e6 else f"{n / 1e6:.1f} MB" if n < 1e8 else f"{n / 1e6:.0f} MB"


def mib(kib):
    return f"{kib / 1024:.1f} MiB" if kib < 10240 else f"{kib / 1024:.0f} MiB"


def ns_per_byte(seconds, n):
    v = seconds * 1e9 / n
    return f"{v:.2f}" if v < 10 else f"{v:.0f}"


def columns(tools):
    """(heading, cell function) pairs for the tools present."""
    cols = [("picture", lambda p: p.label()), ("canvas", lambda p: str(p.side)),
            ("output", lambda p: size(p.output_bytes)),
            ("vandrel", lambda p: ms(p.median("vandrel"))), ("floor", lambda p: ms(p.median("floor"))),
            ("vandrel / floor", lambda p: f"{p.ratio('vandrel', 'floor'):.2f}"),
            ("vandrel ns/B", lambda p: ns_per_byte(p.median("vandrel"), p.output_bytes)),
            ("floor ns/B", lambda p: ns_per_byte(p.median("floor"), p.output_bytes)),
            ("vandrel peak", lambda p: mib(p.peaks["vandrel"])), ("floor peak", lambda p: mib(p.peaks["floor"]))]
    for tool in ("Pillow", "ImageMagick", "before"):
        if tool in tools:
            cols += [(tool, lambda p, t=tool: ms(p.median(t)) if t in p.times else "–"),
                     (f"{tool} / floor",
                      lambda p, t=tool: f"{p.ratio(t, 'floor'):.2f}" if t in p.times else "–")]
    if "before" in tools:
        cols.append(("vandrel / before",
                     lambda p: f"{p.ratio('vandrel', 'before'):.2f}" if "before" in p.times else "–"))
    cols.append(("rounds", lambda p: str(len(p.times["vandrel"]))))
    return cols


def table(pictures):
    tools = {tool for p in pictures for tool in p.times}
    cols = columns(tools)
    lines = ["| " + " | ".join(h for h, _ in cols) + " |", "|" + "---|" * len(cols)]
    for p in pictures:
        lines.append("| " + " | ".join(cell(p) for _, cell in cols) + " |")
    return "\n".join(lines)


def main():
    pictures = load(sys.argv[1])
    for place, title in PLACES.items():
        here = [p for p in pictures if p.place == place]
        if here:
            print(f"\n{title}: medians; ratios are medians of per-round ratios\n")
            print(table(here))


if __name__ == "__main__":
    main()
