#!/usr/bin/env python3
"""alternate.py TITLE RUNS NAME=COMMAND...: times the commands in turns, one
run of each per round, so that a neighbour's load or the state of the
machine's memory falls on all of them alike; two rounds first as warm-up.
Then one more run of each under /usr/bin/time for its peak memory. Prints a
table: median wall time, peak memory, and the ratios to the second command
(the floor) and to the first (vandrel)."""
import shlex
import statistics
import subprocess
import sys
import tempfile
import time


def timed_run(command):
    """Wall time in seconds of one run."""
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def peak_kib(command):
    """Peak resident memory in KiB of one run, measured by a small program
    (a child of this one would count the interpreter's memory too)."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command],
                       stdout=subprocess.DEVNULL, check=True)
        return int(report.read().split()[-1])


def main():
    title, runs = sys.argv[1], int(sys.argv[2])
    names, commands = zip(*(arg.split("=", 1) for arg in sys.argv[3:]))
    commands = [shlex.split(c) for c in commands]
    times = [[] for _ in commands]
    for round_number in range(runs + 2):
        for i, command in enumerate(commands):
            elapsed = timed_run(command)
            if round_number >= 2:
                times[i].append(elapsed)
    peaks = [peak_kib(command) for command in commands]
    medians = [statistics.median(t) for t in times]
    print(f"\n{title}:\n| tool | median wall time | peak memory | time / floor's | time / vandrel's |")
    print("|---|---|---|---|---|")
    for name, median, kib in zip(names, medians, peaks):
        print(f"| {name} | {median * 1000:.1f} ms | {kib / 1024:.0f} MiB "
              f"| {median / medians[1]:.2f} | {median / medians[0]:.2f} |")


if __name__ == "__main__":
    main()
