#!/usr/bin/python3
"""Smoke test of Ebbmark.exe under Wine: starts it against relay-sim with a
settings folder of its own, waits until the live values show, and reads the
window from outside with ebbmark_view_probe.exe: the title, both status bar
panels and one value label.

The service must be installed for the program to load its settings, so the
test registers it (stopped) in a Wine prefix of its own; nothing of the
user's prefix is touched. Without a DISPLAY it runs itself under xvfb-run.

  smoke_test.py --bin DIR --probe EXE --svc EXE --relay-sim EXE
                [--screenshots DIR] [--keep-prefix DIR]

--screenshots also opens the five helper windows and saves a PNG of each
(and of the main window), and prints the start time and memory use.
"""

import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

STEP_SECONDS = 0.5


def log(*args):
    print("smoke:", *args, flush=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir
        self.env = dict(os.environ)
        self.env["WINEDEBUG"] = "-all"
        self.env["WINEPREFIX"] = args.keep_prefix or os.path.join(workdir, "prefix")
        self.env.pop("WINEDLLOVERRIDES", None)
        self.procs = []

    def wine(self, *argv, timeout=60, env=None):
        return subprocess.run(["wine", *argv], env=env or self.env, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def spawn(self, argv, env=None):
        p = subprocess.Popen(argv, env=env or self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        self.procs.append(p)
        return p

    def probe(self, *argv, timeout=30):
        r = self.wine(self.args.probe, *argv, timeout=timeout)
        return r.returncode, r.stdout

    def read_window(self, which=None):
        code, out = self.probe("read", *([which] if which else []))
        if code != 0:
            return None
        seen = {"texts": []}
        for line in out.splitlines():
            key, _, value = line.partition("=")
            if key == "text":
                seen["texts"].append(value)
            else:
                seen[key] = value
        return seen

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=10)
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def first_line(proc, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.5)
        if ready:
            return proc.stdout.readline()
        if proc.poll() is not None:
            break
    return ""


def rss_kib(name, prefix):
    """VmRSS of the Linux process that runs the Windows program `name` in
    the Wine prefix `prefix` (other prefixes may run their own copies)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
            if name not in cmd or "probe" in cmd:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{pid}/status") as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
        except OSError:
            continue
    return None


def screenshot(path):
    subprocess.run(["import", "-window", "root", path], timeout=30, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log("screenshot", path)


def wait_for(what, seconds, check):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(STEP_SECONDS)
    raise AssertionError(f"timed out waiting for {what}")


def run(args, workdir):
    s = Session(args, workdir)
    failures = []
    try:
        if not args.keep_prefix or not os.path.isdir(args.keep_prefix):
            s.wine("wineboot", "-i", timeout=240)
        # One virtual desktop for every window of the prefix: Wine then draws
        # the window frames and captions itself, as Windows does, with no
        # window manager needed on the X display.
        s.wine("reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f")
        s.wine("reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default",
               "/d", "1000x740", "/f")
        s.wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
               "/d", str(args.dpi), "/f")

        sim = s.spawn(["wine", args.relay_sim, "--port", "0", "--no-udp"]
                      if args.relay_sim.endswith(".exe") else
                      [args.relay_sim, "--port", "0", "--no-udp"])
        line = first_line(sim, 60)
        m = re.search(r"tcp=127\.0\.0\.1:(\d+)", line)
        if not m:
            raise AssertionError(f"relay-sim did not start: {line!r}")
        port = m.group(1)
        log("relay-sim on port", port)

        home = os.path.join(workdir, "home")
        os.makedirs(home)
        with open(os.path.join(home, "Ebbmark.ini"), "w", newline="") as f:
            f.write(f"[EbbmarkSvc]\r\nTCPHost=127.0.0.1\r\nTCPPort={port}\r\n")

        # Installed, not started: the program then loads its settings.
        s.wine("sc", "delete", "Ebbmark", timeout=60)
        r = s.wine("sc", "create", "Ebbmark", "binPath=", windows_path(args.svc), timeout=60)
        if r.returncode != 0:
            raise AssertionError(f"could not register the service: {r.stdout}")

        env = dict(s.env)
        env["EBBMARK_HOME"] = windows_path(home)
        started = time.monotonic()
        app = s.spawn(["wine", os.path.join(args.bin, "Ebbmark.exe")], env=env)
        code, _ = s.probe("wait", "90", timeout=120)
        shown = time.monotonic() - started
        if code != 0:
            raise AssertionError("the main window never showed")
        log(f"first window shown {shown:.2f} s after the start (Wine's own start included)")

        def live():
            w = s.read_window()
            if w and "AC Input: 120v AC" in w["texts"] and w.get("panel2", "") != "Not Connected":
                return w
            return None

        w = wait_for("the live values", 60, live)
        log("read", w)
        if w.get("title") != "Ebbmark":
            failures.append(f"title {w.get('title')!r}")
        if w.get("panel1") != "Service: Stopped ":
            failures.append(f"status panel 1 {w.get('panel1')!r}")
        if not re.fullmatch(r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}", w.get("panel2", "")):
            failures.append(f"status panel 2 {w.get('panel2')!r} is no record time")
        for text in ("Inverter Address: 0", "Battery Voltage: 26v", "127.0.0.1"):
            if text not in w["texts"]:
                failures.append(f"{text!r} not shown")

        # A second copy finds the first and ends at once.
        second = subprocess.run(["wine", os.path.join(args.bin, "Ebbmark.exe")], env=env,
                                timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if second.returncode != 0:
            failures.append(f"second copy ended with {second.returncode}")

        if args.screenshots:
            os.makedirs(args.screenshots, exist_ok=True)
            time.sleep(2)
            rss = rss_kib("Ebbmark.exe", s.env["WINEPREFIX"])
            log(f"Ebbmark.exe memory (RSS, peak) in KiB: {rss}")
            screenshot(os.path.join(args.screenshots, "main.png"))
            # Service, Email, Trellan and Network on the toolbar; About in the menu.
            for name, verb, arg in (("service", "toolbar", "2"), ("email", "toolbar", "3"),
                                    ("finder", "toolbar", "4"), ("network", "toolbar", "5"),
                                    ("about", "command", "2005")):
                s.probe(verb, arg)
                popup = wait_for(f"the {name} window", 30, lambda: s.read_window("popup"))
                log(name, popup)
                time.sleep(1)
                screenshot(os.path.join(args.screenshots, f"{name}.png"))
                s.probe("close-popup")
                wait_for(f"the {name} window to close", 30,
                         lambda: s.read_window("popup") is None)

        # File, Exit (the fourth menu command: Load, Save, Network, Exit) ends the program.
        s.probe("command", "2003")
        try:
            app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            failures.append("Exit did not end the program")
        s.wine("sc", "delete", "Ebbmark", timeout=60)
    finally:
        s.close()
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--svc", required=True)
    ap.add_argument("--relay-sim", required=True)
    ap.add_argument("--screenshots")
    ap.add_argument("--keep-prefix")
    ap.add_argument("--dpi", type=int, default=96, help="the screen's pixels per inch")
    args = ap.parse_args()

    if not os.environ.get("DISPLAY"):
        if not shutil.which("xvfb-run"):
            log("no DISPLAY and no xvfb-run: skipped")
            return 0
        cmd = ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", sys.executable, *sys.argv]
        return subprocess.run(cmd, timeout=280).returncode

    with tempfile.TemporaryDirectory(prefix="ebbmark-w32view-") as workdir:
        failures = run(args, workdir)
    for f in failures:
        log("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
