#!/usr/bin/env python3
"""Waits for a moment in an update that a shell loop would miss, and freezes
a process (SIGSTOP) the instant it comes, so that a test can look at the
state and then kill it exactly there.

  catch.py [--timeout S] [--stop PID | --stop-caught] --file GLOB [--min-size N]
  catch.py [--timeout S] [--stop PID | --stop-caught] --process TEXT

--file: a path matching GLOB exists (and, with --min-size, holds at least N
bytes); prints the path. --process: a running /bin/sh whose arguments hold
TEXT; prints its process id. --stop-caught freezes that shell. Exits 1 when
nothing came within the timeout (60 s).
"""
import argparse
import glob
import os
import signal
import sys
import time


def find_file(pattern, min_size):
    for path in glob.glob(pattern):
        try:
            if os.path.getsize(path) >= min_size:
                return path
        except OSError:
            pass
    return None


def find_shell(text):
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except OSError:
            continue
        # Before its exec a forked child still shows its parent's arguments.
        if args and os.path.basename(args[0]) == b"sh" and any(text.encode() in a for a in args[1:]):
            return int(entry)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--timeout", type=float, default=60)
    parser.add_argument("--stop", type=int)
    parser.add_argument("--stop-caught", action="store_true")
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--file")
    what.add_argument("--process")
    parser.add_argument("--min-size", type=int, default=0)
    args = parser.parse_args()

    deadline = time.monotonic() + args.timeout
    while time.monotonic() < deadline:
        found = find_file(args.file, args.min_size) if args.file else find_shell(args.process)
        if found is not None:
            try:
                if args.stop is not None:
                    os.kill(args.stop, signal.SIGSTOP)
                if args.stop_caught and args.process:
                    os.kill(found, signal.SIGSTOP)
            except ProcessLookupError:
                print(f"{found} (the process to stop had already ended)", file=sys.stderr)
                print(found)
                return 2
            print(found)
            return 0
        time.sleep(0.001)
    return 1


if __name__ == "__main__":
    sys.exit(main())
