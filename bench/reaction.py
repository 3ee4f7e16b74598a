#!/usr/bin/python3
"""Measures the service's reaction and its cost, against relay-sim on 127.0.0.1.

1. Reaction: from the relay sending the first line that makes a trigger rule
   hold to the start of the run file, and to the (dry-run) power action, less
   the configured waits (ExecuteDelay 0 and the 5-second pause). Target:
   under 1 s plus the waits.
2. Cost (with --soak SECONDS, default 600): CPU seconds and peak RSS of
   `EbbmarkSvc debug` over a normal stream of 10 inverters and a battery
   monitor, one line per device per second; a run of the relay-sim itself is
   the baseline.

usage: bench/reaction.py [--soak SECONDS] [BUILD_DIR]"""

import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

args = sys.argv[1:]
soak = 0
if args[:1] == ["--soak"]:
    soak = int(args[1]) if len(args) > 1 and args[1].isdigit() else 600
    args = args[2:] if len(args) > 1 and args[1].isdigit() else args[1:]
root = Path(__file__).resolve().parents[1]
build = Path(args[0]) if args else root / "build" / "release"
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reader(proc, sink):
    for raw in iter(proc.stdout.readline, b""):
        sink.append((time.time(), raw.decode(errors="replace").rstrip()))


def reaction():
    port = free_port()
    with tempfile.TemporaryDirectory() as home:
        home = Path(home)
        marker = home / "ran"
        run = home / "run file.sh"
        run.write_text(f"#!/bin/sh\ndate +%s.%N > '{marker}'\n")
        run.chmod(0o755)
        (home / "Ebbmark.ini").write_text(
            f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nSDSOC=70\nSOCOII=0\n"
            f"ShutdownType=1\nExecuteFile={run}\nExecuteDelay=0\n")
        scenario = home / "drain.txt"
        scenario.write_text("inverters 0\nfndc a\nat 0 fndc soc 90\nat 5 fndc soc 60\n")
        env = dict(os.environ, EBBMARK_HOME=str(home), EBBMARK_POWER_DRYRUN=str(home / "power.jsonl"))
        relay = subprocess.Popen([str(sim_bin), "--port", str(port), "--no-udp", "--verbose",
                                  "--scenario", str(scenario)], stdout=subprocess.PIPE)
        lines = []
        threading.Thread(target=reader, args=(relay, lines), daemon=True).start()
        time.sleep(0.5)
        svc = subprocess.Popen([str(svc_bin), "debug"], env=env, stdout=subprocess.DEVNULL)
        svc.wait(30)
        relay.terminate()
        relay.wait(5)
        sent = [t for t, l in lines if re.search(r"send a,(\d+,){6}60,", l)]
        if not sent or not marker.exists():
            print("reaction: not measured")
            return
        ran = float(marker.read_text())
        powered = (home / "power.jsonl").stat().st_mtime
        print(f"trigger line sent -> run file started: {(ran - sent[0]) * 1000:.0f} ms")
        print(f"trigger line sent -> power action, less the 5 s pause: "
              f"{(powered - sent[0] - 5) * 1000:.0f} ms")


def cpu_of(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def peak_rss(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return -1


def soak_run(seconds):
    port = free_port()
    with tempfile.TemporaryDirectory() as home:
        Path(home, "Ebbmark.ini").write_text(f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\n")
        env = dict(os.environ, EBBMARK_HOME=home)
        relay = subprocess.Popen([str(sim_bin), "--port", str(port), "--no-udp", "--inverters",
                                  "0,1,2,3,4,5,6,7,8,9", "--fndc", "a"], stdout=subprocess.DEVNULL)
        time.sleep(0.5)
        svc = subprocess.Popen([str(svc_bin), "debug"], env=env, stdout=subprocess.DEVNULL)
        time.sleep(seconds)
        svc_cpu, svc_rss = cpu_of(svc.pid), peak_rss(svc.pid)
        sim_cpu = cpu_of(relay.pid)
        svc.terminate()
        relay.terminate()
        svc.wait(5)
        relay.wait(5)
    print(f"{seconds} s of 10 inverters + 1 battery monitor at one line per device per second:")
    print(f"  EbbmarkSvc: {svc_cpu:.2f} CPU s ({svc_cpu / seconds * 100:.3f} % of a core), "
          f"peak RSS {svc_rss} KiB")
    print(f"  relay-sim (baseline, same run): {sim_cpu:.2f} CPU s; ratio "
          f"{svc_cpu / sim_cpu if sim_cpu else float('nan'):.2f}")


reaction()
if soak:
    soak_run(soak)
