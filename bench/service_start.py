#!/usr/bin/python3
"""Measures EbbmarkSvc's start: the time from process start to its first
monitoring tick (its first debug-display line), and the peak RSS of an idle
`EbbmarkSvc debug`. Machines here are noisy, so the start time is also given
as a ratio to a baseline measured in the same run: the time a trivial process
takes to print its first line.

usage: bench/service_start.py [BUILD_DIR]   (default build/release)"""

import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "release"
svc = build / "service" / "EbbmarkSvc"
runs = int(os.environ.get("RUNS", "10"))


def first_line_time(args, env, pattern):
    start = time.monotonic()
    p = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        deadline = start + 10
        for raw in iter(p.stdout.readline, b""):
            if re.search(pattern, raw.decode(errors="replace")):
                return time.monotonic() - start
            if time.monotonic() > deadline:
                break
        return float("nan")
    finally:
        p.kill()
        p.wait()


with tempfile.TemporaryDirectory() as home:
    Path(home, "Ebbmark.ini").write_text("[EbbmarkSvc]\nTCPHost=\n")
    env = dict(os.environ, EBBMARK_HOME=home)
    baseline = statistics.median(
        first_line_time(["/bin/sh", "-c", "echo Host:; sleep 5"], env, r"^Host:") for _ in range(runs))
    first_tick = statistics.median(
        first_line_time([str(svc), "debug"], env, r"^Host:") for _ in range(runs))

    # Peak RSS of an idle service over 3 seconds.
    out = subprocess.run(["/usr/bin/time", "-v", "timeout", "-s", "TERM", "3", str(svc), "debug"],
                         env=env, capture_output=True, text=True).stderr
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", out)

print(f"first tick after start: {first_tick * 1000:.1f} ms (median of {runs}; the first tick "
      f"is due 100 ms after start)")
print(f"baseline (a shell's first line): {baseline * 1000:.1f} ms; ratio {first_tick / baseline:.1f}")
print(f"peak RSS of idle EbbmarkSvc debug: {int(rss.group(1)) if rss else 'unknown'} KiB "
      "(as /usr/bin/time -v reports it; timeout(1) is its direct child)")
