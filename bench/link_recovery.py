#!/usr/bin/python3
"""Measures the service's relay link against relay-sim on 127.0.0.1:

1. RSS of `EbbmarkSvc debug` before and after a 60-second flood at full speed
   (the receive buffer must stay bounded);
2. the time from a relay restart to the service's first parsed line: the
   relay's first status line after the restart, and the moment the service's
   debug display shows a data stamp from after the restart. The baseline is
   the relay's own delay to its first line in the same run.

usage: bench/link_recovery.py [BUILD_DIR]   (default build/release)
FLOOD_SECONDS (default 60) shortens the flood."""

import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
from datetime import datetime
from pathlib import Path

root = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "release"
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"
flood = int(os.environ.get("FLOOD_SECONDS", "60"))


class Proc:
    def __init__(self, args, env=None):
        self.p = subprocess.Popen([str(a) for a in args], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in iter(self.p.stdout.readline, b""):
            self.lines.append((time.monotonic(), raw.decode(errors="replace").rstrip()))

    def find(self, pattern, since=0.0, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for t, l in list(self.lines):
                if t >= since and re.search(pattern, l):
                    return t, l
            time.sleep(0.01)
        return None

    def rss_kib(self):
        for line in Path(f"/proc/{self.p.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return -1

    def stop(self):
        self.p.terminate()
        try:
            self.p.wait(5)
        except subprocess.TimeoutExpired:
            self.p.kill()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


port = free_port()
with tempfile.TemporaryDirectory() as home:
    Path(home, "Ebbmark.ini").write_text(f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\n")
    env = dict(os.environ, EBBMARK_HOME=home)

    relay = Proc([sim_bin, "--port", port, "--no-udp", "--inverters", "0,1,2,3,4,5,6,7,8,9",
                  "--event", f"at 3 fault flood {flood}"])
    relay.find(r"listening")
    svc = Proc([svc_bin, "debug"], env=env)
    svc.find(r"Current:")
    before = svc.rss_kib()
    time.sleep(flood + 3)
    after = svc.rss_kib()
    flooded = relay.find(r"flood over.*", timeout=5)
    print(f"RSS before the flood: {before} KiB; after {flood} s of flood: {after} KiB "
          f"({(flooded[1] if flooded else 'flood end not seen')})")

    relay.stop()
    time.sleep(3)
    restart = time.monotonic()
    wall = datetime.now().replace(microsecond=0)
    relay = Proc([sim_bin, "--port", port, "--no-udp", "--verbose"])
    connected = relay.find(r" client .*connected", since=restart)
    first_sent = relay.find(r"send 0,", since=connected[0] if connected else restart)
    shown = None
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not shown:
        for t, l in list(svc.lines):
            m = re.search(r"Inverter \d+ - (\S+ \S+)", l)
            if t >= restart and m and datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S") >= wall:
                shown = t
                break
        time.sleep(0.01)
    relay.stop()
    svc.stop()
    if first_sent and shown:
        print(f"relay restart -> relay's first line: {(first_sent[0] - restart) * 1000:.0f} ms (baseline)")
        print(f"relay's first line -> service shows it: {(shown - first_sent[0]) * 1000:.0f} ms "
              f"(the display is redrawn on the 500 ms tick)")
        print(f"relay restart -> service's first parsed line shown: {(shown - restart) * 1000:.0f} ms")
    else:
        print("restart: not measured", first_sent, shown)
