#!/usr/bin/env python3
"""The demo launcher's main-loop stalls in a phase of a benchmark.

The launcher started with VORLIA_DEMO_STALL_LOG=FILE appends one line
"<end_monotonic_us> <stall_us> <cpu_us>" for every turn of its main loop whose
work lasted 8 ms or more; cpu_us is the main thread's processor time in that
turn (a long turn with little of it was waiting or not scheduled). A benchmark
notes the phase's bounds on the same clock (CLOCK_MONOTONIC, microseconds) and
keeps the lines that end inside them.

    python3 bench/lib/stalls.py now                     # the clock, for a shell script
    python3 bench/lib/stalls.py longest FILE START END  # "<longest_us> <count> <most_cpu_us>"

or, from Python: now_us(), stalls(file, start, end), longest(file, start, end),
most_work(file, start, end).
"""
import sys
import time


def now_us():
    """CLOCK_MONOTONIC in microseconds, the probe's clock."""
    return time.monotonic_ns() // 1000


def turns(path, start_us, end_us):
    """(stall_us, cpu_us) of the turns that ended within [start_us, end_us]."""
    found = []
    try:
        with open(path, encoding="ascii") as log:
            for line in log:
                fields = line.split()
                if len(fields) != 3 or not all(f.isdigit() for f in fields):
                    continue  # a line still being written
                end, length, cpu = (int(f) for f in fields)
                if start_us <= end <= end_us:
                    found.append((length, cpu))
    except FileNotFoundError:
        pass  # no turn of 8 ms or more yet
    return found


def stalls(path, start_us, end_us):
    """The stall lengths (µs) of the turns that ended within [start_us, end_us]."""
    return [length for length, _ in turns(path, start_us, end_us)]


def longest(path, start_us, end_us):
    """The longest stall (µs) in the phase, 0 when none reached 8 ms."""
    return max(stalls(path, start_us, end_us), default=0)


def most_work(path, start_us, end_us):
    """The most processor time (µs) the main thread spent in one turn of the phase."""
    return max((cpu for _, cpu in turns(path, start_us, end_us)), default=0)


def main(argv):
    if argv[1:2] == ["now"] and len(argv) == 2:
        print(now_us())
        return 0
    if argv[1:2] == ["longest"] and len(argv) == 5:
        found = turns(argv[2], int(argv[3]), int(argv[4]))
        print(max((t for t, _ in found), default=0), len(found), max((c for _, c in found), default=0))
        return 0
    print(__doc__.strip().split("\n\n")[2], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
