#!/usr/bin/python3
"""Worst-case reaction of the trigger path with a mail server that stalls,
beside the normal reaction with a mail server that answers, in the same run;
and how long the process takes to end after SIGTERM with a notice queued to a
dead server. All on 127.0.0.1 with relay-sim and the release build.

Reaction: from relay-sim sending the line that makes the SOC rule hold to the
dry-run power line. The run file is started with ExecuteDelay 0, so the fixed
part is the 5-second pause; email may add at most 30 s in all.

usage: bench/shutdown_path.py [BUILD_DIR]"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "tests" / "blackbox"))
from stalling_smtp import StallingSmtp  # noqa: E402

build = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "release"
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"

DRAIN = ("inverters 0\nfndc a\nat 0 inverter all mains on current 0 ac 120 battery 26.4\n"
         "at 0 fndc soc 90 temp 25\nat 2 inverter all mains off\nat 2 inverter 0 current 12 ac 0\n"
         "at 6 fndc soc 60\n")


def reader(proc, sink):
    for raw in iter(proc.stdout.readline, b""):
        sink.append((time.time(), raw.decode(errors="replace").rstrip()))


def start(home, smtp_port, extra=""):
    (home / "scenario.txt").write_text(DRAIN)
    relay = subprocess.Popen([str(sim_bin), "--port", "0", "--no-udp", "--verbose", "--scenario",
                              str(home / "scenario.txt")], stdout=subprocess.PIPE)
    lines = []
    threading.Thread(target=reader, args=(relay, lines), daemon=True).start()
    for _ in range(100):
        found = [re.search(r"tcp=127\.0\.0\.1:(\d+)", l) for _, l in lines]
        found = [m for m in found if m]
        if found:
            break
        time.sleep(0.05)
    port = int(found[0].group(1))
    run = home / "run.sh"
    run.write_text("#!/bin/sh\ntrue\n")
    run.chmod(0o755)
    (home / "Ebbmark.ini").write_text(
        f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nSDSOC=70\nSOCOII=1\nShutdownType=1\n"
        f"ExecuteFile={run}\nExecuteDelay=0\nEmailOptions=3\nEmailDelay=0\nSMTPHost=127.0.0.1\n"
        f"SMTPPort={smtp_port}\nSMTPFrom=ups@localhost\nSMTPTo=admin@localhost\n{extra}")
    env = dict(os.environ, EBBMARK_HOME=str(home), EBBMARK_POWER_DRYRUN=str(home / "power.jsonl"),
               EBBMARK_EVENT_LOG=str(home / "events.jsonl"))
    svc = subprocess.Popen([str(svc_bin), "debug"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    return relay, lines, svc


def reaction(mode):
    server = StallingSmtp(mode, delay=0.0)
    with tempfile.TemporaryDirectory() as home:
        home = Path(home)
        relay, lines, svc = start(home, server.port)
        svc.wait(90)
        relay.terminate()
        relay.wait(5)
        server.stop()
        sent = [t for t, l in lines if re.search(r"send a,(\d+,){6}60,", l)]
        power = home / "power.jsonl"
        if not sent or not power.exists():
            return None
        return power.stat().st_mtime - sent[0]


def sigterm_drain():
    server = StallingSmtp("silent")
    with tempfile.TemporaryDirectory() as home:
        home = Path(home)
        relay, _, svc = start(home, server.port, "SDSOC=59\n")  # no trigger: mains fail only
        for _ in range(200):
            if server.connections:
                break
            time.sleep(0.05)
        asked = time.monotonic()
        svc.send_signal(signal.SIGTERM)
        svc.wait(30)
        took = time.monotonic() - asked
        relay.terminate()
        relay.wait(5)
        server.stop()
        return took


results = {}
for mode in ("slow", "silent", "after-dot", "trickle"):
    results[mode] = reaction(mode)
base = results["slow"]
print("trigger line -> power action (ExecuteDelay 0; the fixed 5 s pause included):")
for mode, took in results.items():
    label = {"slow": "answering server (baseline)", "silent": "server never greets",
             "after-dot": "server silent after the final dot",
             "trickle": "server answers a byte a second"}[mode]
    if took is None:
        print(f"  {label}: not measured")
        continue
    ratio = f", {took / base:.1f} x the baseline" if base and mode != "slow" else ""
    print(f"  {label}: {took:.2f} s{ratio}")
print(f"SIGTERM with a notice queued to a dead server -> process ended: {sigterm_drain():.2f} s")
