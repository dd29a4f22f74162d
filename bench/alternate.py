#!/usr/bin/env python3
"""Times framing commands in turns, one run of each per round, so that a
neighbour's load or the state of the machine's memory falls on all of them
alike, and appends the raw results to a CSV file.

  alternate.py --csv FILE --place PLACE --picture WxH --side SIDE --runs N
               NAME=OUTPUT=COMMAND...

COMMAND writes the file OUTPUT. The first round runs each command under
/usr/bin/time for its peak memory and, like the --warmup rounds after it, is
not timed; then come N timed rounds. After every run, outside the clock, the
output is flushed to its device and deleted, so that each run starts alike: no
file to replace, no other run's data still waiting to be written. Appends one
CSV row per command: place, picture, canvas side, output bytes, peak memory
and the wall time of each timed round in order, so that round r of one
command can be compared with round r of another."""
import argparse
import csv
import os
import shlex
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

FIELDS = ["place", "width", "height", "side", "tool", "output_bytes", "peak_kib", "times_s"]


def clear(output):
    """Flushes OUTPUT to its device and deletes it; returns its size."""
    fd = os.open(output, os.O_RDONLY)
    try:
        os.fsync(fd)
        return os.fstat(fd).st_size
    finally:
        os.close(fd)
        os.unlink(output)


def timed_run(command, output):
    """Wall time in seconds of one run."""
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    elapsed = time.perf_counter() - start
    clear(output)
    return elapsed


def measured_run(command, output):
    """(peak resident KiB, output bytes) of one run. A small program measures
    it: a child of this one would count the interpreter's memory too."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command],
                       stdout=subprocess.DEVNULL, check=True)
        peak = int(report.read().split()[-1])
    return peak, clear(output)


def parse_tools(tool_args):
    """NAME=OUTPUT=COMMAND arguments as (name, output, argv) triples."""
    tools = []
    for arg in tool_args:
        name, output, command = arg.split("=", 2)
        tools.append((name, output, shlex.split(command)))
    return tools


def alternate(tools, warmup, runs):
    """Peak memories, output sizes and per-round times of the tools."""
    peaks, sizes = zip(*(measured_run(argv, output) for _, output, argv in tools))
    for _ in range(warmup):
        for _, output, argv in tools:
            timed_run(argv, output)
    times = [[] for _ in tools]
    for _ in range(runs):
        for i, (_, output, argv) in enumerate(tools):
            times[i].append(timed_run(argv, output))
    return peaks, sizes, times


def append_rows(path, args, tools, peaks, sizes, times):
    width, height = args.picture.split("x")
    new = not Path(path).exists()
    with open(path, "a", newline="") as f:
        writer = csv.writer(f)
        if new:
            writer.writerow(FIELDS)
        for (name, _, _), peak, size, t in zip(tools, peaks, sizes, times):
            writer.writerow([args.place, width, height, args.side, name, size, peak,
                             " ".join(f"{s:.6f}" for s in t)])


def summary(tools, times):
    """One line of medians, for progress."""
    parts = []
    for (name, _, _), t in zip(tools, times):
        parts.append(f"{name} {statistics.median(t) * 1000:.1f} ms")
    return ", ".join(parts)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--csv", "--place", "--picture", "--side"):
        parser.add_argument(option, required=True)
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("tools", nargs="+", metavar="NAME=OUTPUT=COMMAND")
    args = parser.parse_args()
    tools = parse_tools(args.tools)
    peaks, sizes, times = alternate(tools, args.warmup, args.runs)
    append_rows(args.csv, args, tools, peaks, sizes, times)
    print(f"  {args.place}: {summary(tools, times)} ({args.runs} rounds)", flush=True)


if __name__ == "__main__":
    main()
