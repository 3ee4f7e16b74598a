#!/usr/bin/python3
"""Measures the idle CPU time of the Ebbmark window (the Qt view) over a
minute while relay-sim streams status lines to it, for two builds side by
side in the same run: a baseline build (an older commit) and this one. Both
windows run at once under one Xvfb, each with a settings folder of its own,
so the machine's noise falls on both alike.

The service's state comes from a stand-in: for builds that ask systemd over
D-Bus, a stand-in systemd on a private bus daemon (found through
DBUS_SYSTEM_BUS_ADDRESS); for builds that run `systemctl`, a shell script of
that name first on PATH. Both report an installed, running service.

CPU time is read from /proc/PID/stat: utime + stime of the window itself,
and cutime + cstime of the children it has waited for (the systemctl runs).

usage: bench/window_idle_cpu.py --baseline BUILD_DIR [--build BUILD_DIR] [--seconds 60]
  BUILD_DIR is a CMake build folder holding config/qt/Ebbmark; relay-sim is
  taken from --build (default build/release)."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TICK = os.sysconf("SC_CLK_TCK")


SYSTEMCTL = """#!/bin/sh
echo "$*" >> "$(dirname "$0")/systemctl.log"
case "$1" in
  show) printf 'LoadState=loaded\\nActiveState=active\\n' ;;
esac
exit 0
"""


def cpu_ticks(pid):
    # Fields after the command name (which may hold blanks) start at field 3.
    text = Path(f"/proc/{pid}/stat").read_text()
    fields = text[text.rindex(")") + 2:].split()
    utime, stime, cutime, cstime = (int(fields[i]) for i in (11, 12, 13, 14))
    return utime + stime, cutime + cstime


def start_xvfb():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            pass_fds=[w], stderr=subprocess.DEVNULL)
    os.close(w)
    display = b""
    while not display.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            break
        display += chunk
    os.close(r)
    return xvfb, ":" + display.decode().strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", required=True, type=Path)
    ap.add_argument("--build", type=Path, default=ROOT / "build" / "release")
    ap.add_argument("--seconds", type=int, default=60)
    args = ap.parse_args()

    procs = []
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        try:
            relay = subprocess.Popen([str(args.build / "tools" / "relay-sim" / "relay-sim"), "--port", "0",
                                      "--no-udp", "--inverters", "0", "--fndc", "a"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            procs.append(relay)
            port = int(re.search(r"tcp=127\.0\.0\.1:(\d+)", relay.stdout.readline()).group(1))

            bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                                 capture_output=True, text=True, check=True).stdout.split()
            address, bus_pid = bus[0], int(bus[1])
            stand_in = subprocess.Popen([sys.executable, str(ROOT / "scripts" / "systemd-stand-in"), address],
                                        stdout=subprocess.PIPE, text=True)
            procs.append(stand_in)
            assert stand_in.stdout.readline().strip() == "ready"

            xvfb, display = start_xvfb()
            procs.append(xvfb)

            windows = {}
            for label, build in (("baseline", args.baseline), ("this build", args.build)):
                home = tmp / label.replace(" ", "_")
                (home / "bin").mkdir(parents=True)
                (home / "run").mkdir(mode=0o700)
                (home / "Ebbmark.ini").write_text(
                    f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nInverterAddress=0\nSDSOC=70\n")
                systemctl = home / "bin" / "systemctl"
                systemctl.write_text(SYSTEMCTL)
                systemctl.chmod(0o755)
                env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", EBBMARK_HOME=str(home),
                           XDG_RUNTIME_DIR=str(home / "run"), DBUS_SYSTEM_BUS_ADDRESS=address,
                           PATH=f"{home / 'bin'}:{os.environ['PATH']}")
                p = subprocess.Popen([str(build / "config" / "qt" / "Ebbmark")], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                procs.append(p)
                windows[label] = p

            time.sleep(5)  # start-up, first connection, first records
            before = {label: cpu_ticks(p.pid) for label, p in windows.items()}
            time.sleep(args.seconds)
            after = {label: cpu_ticks(p.pid) for label, p in windows.items()}
            for label, p in windows.items():
                if p.poll() is not None:
                    sys.exit(f"the {label} window ended early (exit code {p.returncode})")

            print(f"idle CPU over {args.seconds} s with relay-sim streaming "
                  f"(/proc/PID/stat, {TICK} ticks a second):")
            shares = {}
            for label in windows:
                own = (after[label][0] - before[label][0]) / TICK
                children = (after[label][1] - before[label][1]) / TICK
                shares[label] = own + children
                print(f"  {label:10s}: window {own:6.2f} s, its children {children:6.2f} s, "
                      f"together {100 * (own + children) / args.seconds:5.2f} % of one core")
            # That each window asked what it should: the one that runs systemctl
            # and the one that asks systemd over D-Bus.
            stand_in.terminate()
            queries = stand_in.communicate(timeout=10)[0].split().count("GetAll")
            for label in windows:
                log = tmp / label.replace(" ", "_") / "bin" / "systemctl.log"
                runs = len(log.read_text().splitlines()) if log.exists() else 0
                print(f"  {label:10s}: {runs} systemctl runs in all")
            print(f"  D-Bus state queries answered in all: {queries}")
            if shares["this build"] > 0:
                print(f"  baseline / this build: {shares['baseline'] / shares['this build']:.1f}")
        finally:
            for p in reversed(procs):
                p.terminate()
            for p in procs:
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
            if "bus_pid" in locals():
                os.kill(bus_pid, 15)


if __name__ == "__main__":
    main()
