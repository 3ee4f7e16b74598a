#!/usr/bin/python3
"""From the stop signal to the process's end, when the stop comes during a
trigger sequence with a notice in flight, in each phase of the sequence: the
run-file notice, the run file's wait, the pause before the action, and the
action notice. Beside it, in the same run, the baseline: the same service,
monitoring with no trigger and no notice, stopped the same way. All on
127.0.0.1 with relay-sim, a mail server that holds the chosen notice after
its final dot, and the release build.

A stop ends the sequence where it stands; only the notices already handed
over get their 10 seconds of drain time, so a phase costs at most that.

usage: bench/stop_during_trigger.py [BUILD_DIR] [--rounds N]"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "tests" / "blackbox"))
from stalling_smtp import StallingSmtp  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("build", nargs="?", default=str(root / "build" / "release"))
ap.add_argument("--rounds", type=int, default=3)
args = ap.parse_args()
build = Path(args.build)
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"

# Mains fail at 2 s; the battery falls below 70 % at 6 s (the trigger).
DRAIN = ("inverters 0\nfndc a\nat 0 inverter all mains on current 0 ac 120 battery 26.4\n"
         "at 0 fndc soc 90 temp 25\nat 2 inverter all mains off\nat 2 inverter 0 current 12 ac 0\n"
         "at 6 fndc soc 60\n")
STEADY = "inverters 0\nfndc a\nat 0 inverter all mains on current 0 ac 120 battery 26.4\n" \
         "at 0 fndc soc 90 temp 25\n"

# phase: (settings, the notice that stalls (None: every one), when to stop:
# "stalled" = once the stalled notice is held, "started" = once the run file
# has begun, plus a delay). For the run file's wait and the pause every notice
# stalls: the mains-failure notice holds the run-file notice back until the
# trigger's 30-second mail budget is spent, so the run file starts with the
# run-file notice still in flight.
PHASES = {
    "run-file notice": ("EmailOptions=2\nExecuteDelay=0\n", b"The execution of file", "stalled", 0),
    "run-file wait": ("EmailOptions=3\nEmailDelay=0\nExecuteDelay=60\n", None, "started", 0),
    "pause": ("EmailOptions=3\nEmailDelay=0\nExecuteDelay=0\n", None, "started", 1.0),
    "action notice": ("EmailOptions=2\n", b"The action (", "stalled", 0),
}


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def relay_sim(home, text):
    (home / "scenario.txt").write_text(text)
    relay = subprocess.Popen([str(sim_bin), "--port", "0", "--no-udp", "--scenario",
                              str(home / "scenario.txt")], stdout=subprocess.PIPE)
    lines = []

    def read():
        for raw in iter(relay.stdout.readline, b""):
            lines.append(raw.decode(errors="replace"))
    threading.Thread(target=read, daemon=True).start()
    wait_until(lambda: any("tcp=127.0.0.1:" in l for l in lines), 10)
    port = int(next(re.search(r"tcp=127\.0\.0\.1:(\d+)", l).group(1) for l in lines
                    if "tcp=127.0.0.1:" in l))
    return relay, port


def one(phase):
    """Seconds from SIGTERM to the end of the process; None if the phase was not reached."""
    with tempfile.TemporaryDirectory() as tmp:
        home = Path(tmp)
        if phase is None:
            settings, stall, moment, delay = "EmailOptions=0\n", None, "monitoring", 0
            relay, port = relay_sim(home, STEADY)
        else:
            settings, stall, moment, delay = PHASES[phase]
            relay, port = relay_sim(home, DRAIN)
        server = StallingSmtp("after-dot", stall_only=stall) if phase else StallingSmtp("slow", 0)
        started = home / "started"
        run = home / "run.sh"
        run.write_text(f"#!/bin/sh\necho ran > '{started}'\nsleep 3\n")
        run.chmod(0o755)
        execute = "" if phase == "action notice" else str(run)
        (home / "Ebbmark.ini").write_text(
            f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nSDSOC=70\nSOCOII=1\nShutdownType=1\n"
            f"Force=1\nExecuteFile={execute}\nSMTPHost=127.0.0.1\nSMTPPort={server.port}\n"
            f"SMTPFrom=ups@localhost\nSMTPTo=admin@localhost\n{settings}")
        events = home / "events.jsonl"
        env = dict(os.environ, EBBMARK_HOME=str(home), EBBMARK_EVENT_LOG=str(events),
                   EBBMARK_POWER_DRYRUN=str(home / "power.jsonl"))
        svc = subprocess.Popen([str(svc_bin), "debug"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        try:
            if moment == "stalled":
                reached = wait_until(lambda: server.stalled >= 1, 40)
            elif moment == "started":
                reached = wait_until(started.exists, 90)
            else:
                reached = wait_until(lambda: events.exists() and
                                     "Started monitoring" in events.read_text(), 20)
            if not reached:
                return None
            time.sleep(delay)
            asked = time.monotonic()
            svc.send_signal(signal.SIGTERM)
            svc.wait(60)
            took = time.monotonic() - asked
            if phase and server.stalled < 1:
                print(f"  {phase}: no notice was in flight", file=sys.stderr)
            if (home / "power.jsonl").exists():
                print(f"  {phase}: a power action after the stop!", file=sys.stderr)
            return took
        finally:
            if svc.poll() is None:
                svc.kill()
                svc.wait(5)
            relay.terminate()
            relay.wait(5)
            server.stop()


def measure(phase):
    runs = [t for t in (one(phase) for _ in range(args.rounds)) if t is not None]
    return runs


baseline = measure(None)
base = statistics.median(baseline) if baseline else None
print(f"SIGTERM -> process ended (median of {args.rounds}, release build, {svc_bin}):")
print(f"  monitoring, no notice (baseline): " +
      (f"{base:.3f} s" if base is not None else "not measured"))
for phase in PHASES:
    runs = measure(phase)
    if not runs:
        print(f"  {phase}: not reached")
        continue
    med = statistics.median(runs)
    ratio = f", {med / base:.0f} x the baseline" if base else ""
    print(f"  {phase}, notice in flight: {med:.2f} s (max {max(runs):.2f} s){ratio}")
