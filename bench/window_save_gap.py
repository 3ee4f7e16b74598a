#!/usr/bin/python3
"""Measures the Ebbmark window's longest stretch without a redraw while a
save waits for polkit's password question, for a baseline build and this
one in the same run.

Each build's driver (bench/window_save_gap.cpp, built beside the window as
config/qt/window_save_gap) starts the real window, changes one setting and
presses Save as a desktop user (effective user nobody) would. The settings
folder is /etc/ebbmark, where the window hands a save it may not make to
`pkexec` and the administrator's helper: here a tmpfs in a mount namespace
of this run's own, root's and readable by all. `pkexec` is a stand-in that
waits --wait seconds, as an unanswered password question does, then answers
as a dismissed one (exit 126); nothing is written. A stand-in systemd
reports the service installed and running; relay-sim streams status lines,
so the window has something to redraw every second.

Needs root (the mount namespace, and the change of effective user).

usage: bench/window_save_gap.py --baseline DRIVER [--build BUILD_DIR] [--wait 20]
  DRIVER: window_save_gap built in a worktree of the baseline commit (copy
  bench/window_save_gap.cpp there and build it as config/qt/CMakeLists.txt
  here does); BUILD_DIR: this build's CMake folder (default build/default)."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SETTINGS = Path("/etc/ebbmark")

PKEXEC = """#!/bin/sh
echo "$*" >> "$(dirname "$0")/pkexec.log"
sleep {wait}
exit 126
"""


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


def measure(args):
    procs = []
    bus_pid = None
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        tmp.chmod(0o755)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "ebbmark-bench", str(SETTINGS)], check=True)
        try:
            relay = subprocess.Popen([str(args.build / "tools" / "relay-sim" / "relay-sim"), "--port", "0",
                                      "--no-udp", "--inverters", "0", "--fndc", "a"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            procs.append(relay)
            port = int(re.search(r"tcp=127\.0\.0\.1:(\d+)", relay.stdout.readline()).group(1))
            (SETTINGS / "Ebbmark.ini").write_text(
                f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nInverterAddress=0\nSDSOC=70\n")
            (SETTINGS / "Ebbmark.ini").chmod(0o644)

            bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                                 capture_output=True, text=True, check=True).stdout.split()
            address, bus_pid = bus[0], int(bus[1])
            stand_in = subprocess.Popen(["/usr/bin/python3", str(ROOT / "scripts" / "systemd-stand-in"), address],
                                        stdout=subprocess.PIPE, text=True)
            procs.append(stand_in)
            assert stand_in.stdout.readline().strip() == "ready"
            xvfb, display = start_xvfb()
            procs.append(xvfb)

            results = {}
            for label, driver in (("baseline", args.baseline),
                                  ("this build", args.build / "config" / "qt" / "window_save_gap")):
                home = tmp / label.replace(" ", "_")
                (home / "bin").mkdir(parents=True)
                (home / "run").mkdir(mode=0o700)
                pkexec = home / "bin" / "pkexec"
                pkexec.write_text(PKEXEC.format(wait=args.wait))
                pkexec.chmod(0o755)
                home.chmod(0o755)
                env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", EBBMARK_HOME=str(SETTINGS),
                           XDG_RUNTIME_DIR=str(home / "run"), DBUS_SYSTEM_BUS_ADDRESS=address,
                           PATH=f"{home / 'bin'}:{os.environ['PATH']}",
                           ASAN_OPTIONS="detect_leaks=0")
                run = subprocess.run([str(driver)], env=env, capture_output=True, text=True,
                                     timeout=args.wait * 4 + 120)
                m = re.search(r"paints=(\d+) save_ms=(\d+) longest_gap_ms=(\d+)", run.stdout)
                asked = (home / "bin" / "pkexec.log").read_text().split() if (home / "bin" / "pkexec.log").exists() else []
                if run.returncode != 0 or not m:
                    sys.exit(f"{label}: the driver failed ({run.returncode}):\n{run.stdout}{run.stderr[-3000:]}")
                if "settings" not in asked:
                    sys.exit(f"{label}: the save did not go to pkexec (asked: {asked})")
                results[label] = tuple(int(g) for g in m.groups())

            print(f"one save while polkit's question stands {args.wait} s "
                  f"(paints of the main window, on its own steady clock):")
            for label, (paints, save_ms, gap) in results.items():
                print(f"  {label:10s}: save {save_ms / 1000:6.1f} s, {paints:4d} paints, "
                      f"longest stretch without one {gap / 1000:6.2f} s")
            base_gap, this_gap = results["baseline"][2], results["this build"][2]
            if this_gap > 0:
                print(f"  baseline / this build (longest stretch): {base_gap / this_gap:.1f}")
        finally:
            for p in reversed(procs):
                p.terminate()
            for p in procs:
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
            if bus_pid:
                os.kill(bus_pid, 15)
            subprocess.run(["umount", str(SETTINGS)], check=False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--baseline", required=True, type=Path)
    ap.add_argument("--build", type=Path, default=ROOT / "build" / "default")
    ap.add_argument("--wait", type=int, default=20)
    args = ap.parse_args()
    args.baseline = args.baseline.resolve()
    args.build = args.build.resolve()
    if os.geteuid() != 0:
        sys.exit("needs root: a mount namespace for /etc/ebbmark, and the change of effective user")
    if os.environ.get("EBBMARK_BENCH_NAMESPACE") != "1":
        # A mount namespace of this run's own: the tmpfs over /etc/ebbmark is
        # seen by nothing else. The folder must exist to be mounted on; one
        # made here is removed again.
        made = not SETTINGS.exists()
        if made:
            SETTINGS.mkdir(mode=0o755)
        try:
            env = dict(os.environ, EBBMARK_BENCH_NAMESPACE="1")
            code = subprocess.run(["unshare", "--mount", "--propagation", "private", "/usr/bin/python3",
                                   str(Path(__file__).resolve())] + sys.argv[1:], env=env).returncode
        finally:
            if made:
                SETTINGS.rmdir()
        sys.exit(code)
    measure(args)


if __name__ == "__main__":
    main()
