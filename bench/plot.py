#!/usr/bin/env python3
"""plot.py RESULTS.csv OUT.png [TITLE]: draws the benchmark's results as time
per output megabyte (median run time over output size) against output size.
One column for the RAM disk, one for the disk; the top row shows every
picture and tool on log scales, the bottom row vandrel and the floor on the
pictures of 10 MB of output or more, on a linear time scale, where the
differences between large pictures show.
Each tool has a colour; ordinary pictures are joined by a line, while strips
(one side 20 times the other or more) and pictures without pixels stand
apart, marked by shape and named in the legend."""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

from report import load  # noqa: E402

COLOURS = {"vandrel": "tab:blue", "floor": "black", "before": "tab:purple",
           "Pillow": "tab:orange", "ImageMagick": "tab:green"}
ZOOMED = ("vandrel", "floor", "before")  # the tools of the bottom row
SHAPES = {"wide strips": ">", "tall strips": "^", "no pixels": "s"}
PANELS = (("ram", "RAM disk (/dev/shm)"), ("disk", "disk (build-release/)"))
ZOOM_MB = 10  # the bottom row's smallest output


def mb(picture):
    return picture.output_bytes / 1e6


def ms_per_mb(picture, tool):
    return picture.median(tool) * 1000 / mb(picture)


def shape(picture):
    """The picture's group in the legend, None for an ordinary picture."""
    kind = picture.kind()
    if kind == "empty":
        return "no pixels"
    if kind == "strip":
        return "wide strips" if picture.width > picture.height else "tall strips"
    return None


def draw_tool(ax, pictures, tool):
    """The tool's points; a line through the ordinary pictures."""
    have = sorted((p for p in pictures if tool in p.times), key=mb)
    line = [p for p in have if shape(p) is None]
    ax.plot([mb(p) for p in line], [ms_per_mb(p, tool) for p in line],
            color=COLOURS[tool], marker="o", markersize=4, linewidth=1.2)
    for p in have:
        if shape(p) is not None:
            ax.scatter(mb(p), ms_per_mb(p, tool), color=COLOURS[tool],
                       marker=SHAPES[shape(p)], s=32, zorder=3)


def plain_sizes(ax):
    """Sizes as plain numbers: each power of ten, and 2 and 5 times it."""
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
    ax.xaxis.set_minor_formatter(FuncFormatter(lambda v, _: f"{v:g}" if f"{v:e}"[0] in "25" else ""))


def draw_panel(ax, pictures, title, zoom):
    tools = [t for t in COLOURS if any(t in p.times for p in pictures)]
    if zoom:
        pictures = [p for p in pictures if mb(p) >= ZOOM_MB]
        tools = [t for t in tools if t in ZOOMED]
    for tool in tools:
        draw_tool(ax, pictures, tool)
    ax.set_xscale("log")
    if zoom:
        ax.set_ylim(bottom=0)
        plain_sizes(ax)
        ax.set_title(f"{title}: {', '.join(tools)}; outputs of {ZOOM_MB} MB or more", fontsize=10)
    else:
        ax.set_yscale("log")
        ax.set_title(title, fontsize=10)
    ax.set_xlabel("output size (MB)")
    ax.set_ylabel("ms per output MB (median run)")
    ax.grid(True, which="major", alpha=0.4)
    ax.grid(True, which="minor", alpha=0.12)


def legend(fig, pictures):
    """A row of tools by colour, below it the odd shapes by marker, with their sizes."""
    tools = [t for t in COLOURS if any(t in p.times for p in pictures)]
    handles = [Line2D([], [], color=COLOURS[t], marker="o", markersize=4, label=t) for t in tools]
    fig.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 0.025), ncol=len(handles),
               fontsize=9, frameon=False)
    handles = []
    for group, marker in SHAPES.items():
        sizes = {f"{p.width}x{p.height}": p.side for p in pictures if shape(p) == group}
        if sizes:
            label = f"{group}: " + ", ".join(sorted(sizes, key=sizes.get))
            handles.append(Line2D([], [], color="gray", marker=marker, linestyle="", label=label))
    if handles:
        fig.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 0.0),
                   ncol=len(handles), fontsize=9, frameon=False)


def main():
    pictures = load(sys.argv[1])
    panels = [(place, title) for place, title in PANELS if any(p.place == place for p in pictures)]
    fig, axes = plt.subplots(2, len(panels), figsize=(6.4 * len(panels), 9.5), squeeze=False)
    for column, (place, title) in enumerate(panels):
        here = [p for p in pictures if p.place == place]
        draw_panel(axes[0][column], here, title, zoom=False)
        draw_panel(axes[1][column], here, title, zoom=True)
    legend(fig, pictures)
    fig.suptitle(sys.argv[3] if len(sys.argv) > 3 else "vandrel: time per output MB", fontsize=10)
    fig.tight_layout(rect=(0, 0.055, 1, 1))
    fig.savefig(sys.argv[2], dpi=100)


if __name__ == "__main__":
    main()
