#!/usr/bin/python3
"""A fault soak of EbbmarkSvc on 127.0.0.1: relay-sim plays a seeded random
scenario of mains failures and link faults (silence, close, refuse, junk,
split and one-byte writes, floods), the settings file is rewritten every 30 s,
and an SMTP sink takes the notices. At the end it prints crashes, RSS and open
files at start and end, CPU seconds, and each kind of record and email
against what the scenario should give.

usage: bench/soak.py [--minutes N] [--seed S] [BUILD_DIR]   (default 30, 1, build/release)

Each 120-second cycle has one mains failure, placed between two settings
rewrites so a reset never cuts it, and then one to three link faults, each
short enough (under 30 s) that no link-down error or email is due; the
5-second quiet-link warning may come once per outage of 4 s or more. The battery stays
full, so the service never triggers and runs the whole time."""

import argparse
import json
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path

root = Path(__file__).resolve().parents[1]
args = argparse.ArgumentParser()
args.add_argument("--minutes", type=float, default=30)
args.add_argument("--seed", type=int, default=1)
args.add_argument("build", nargs="?", default=str(root / "build" / "release"))
opts = args.parse_args()
build = Path(opts.build)
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"

CYCLE = 120
REWRITE = 30
FAULTS = ["silence", "close", "refuse", "garbage", "split", "bytewise", "flood"]


def scenario(seconds, rng):
    """The scenario text and what it should cause."""
    lines = ["inverters 0 1", "fndc a",
             "at 0 inverter all mains on current 0 ac 120 battery 26.4",
             "at 0 fndc soc 90 temp 25"]
    failures = 0
    kinds = Counter()
    outages = 0  # faults that leave the link without data for 4 s or more
    for c in range(0, int(seconds) - CYCLE + 1, CYCLE):
        # Rewrites fall on multiples of 30 s: the failure lies in c+34 .. c+56.
        off = c + 34 + rng.randint(0, 4)
        on = off + rng.randint(6, 16)
        lines += [f"at {off} inverter all mains off", f"at {off} inverter 0 current 12 ac 0",
                  f"at {on} inverter all mains on", f"at {on} inverter 0 current 0 ac 120"]
        failures += 1
        t = c + 64
        for _ in range(rng.randint(1, 3)):
            kind = rng.choice(FAULTS)
            kinds[kind] += 1
            if kind == "silence":
                n = rng.randint(3, 15)
                lines.append(f"at {t} fault silence {n}")
            elif kind == "close":
                n = 1
                lines.append(f"at {t} fault close")
            elif kind == "refuse":
                n = rng.randint(2, 8)
                lines += [f"at {t} fault close", f"at {t} fault refuse {n}"]
            elif kind == "garbage":
                n = 1
                lines.append(f"at {t} fault garbage {rng.randint(50, 5000)}")
            elif kind == "split":
                n = rng.randint(5, 15)
                lines.append(f"at {t} fault split {n}")
            elif kind == "bytewise":
                n = rng.randint(2, 5)
                lines.append(f"at {t} fault bytewise {n}")
            else:
                n = rng.randint(2, 6)
                lines.append(f"at {t} fault flood {n}")
            if kind in ("silence", "refuse") and n >= 4:
                outages += 1
            t += n + rng.randint(2, 6)
            if t > c + CYCLE - 8:
                break
    lines.append(f"length {int(seconds) + 60}")
    return "\n".join(lines) + "\n", failures, kinds, outages


class Proc:
    def __init__(self, argv, env=None):
        self.argv = [str(a) for a in argv]
        self.p = subprocess.Popen(self.argv, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in iter(self.p.stdout.readline, b""):
            self.lines.append(raw.decode(errors="replace").rstrip())

    def find(self, pattern, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                m = re.search(pattern, line)
                if m:
                    return m
            time.sleep(0.05)
        return None

    def usage(self):
        """(RSS KiB, open files, CPU seconds) of the running process."""
        pid = self.p.pid
        rss = -1
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
        files = len(os.listdir(f"/proc/{pid}/fd"))
        stat = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        cpu = (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")
        return rss, files, cpu

    def stop(self):
        if self.p.poll() is None:
            self.p.terminate()
            try:
                self.p.wait(10)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait(5)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    from aiosmtpd.controller import Controller

    seconds = opts.minutes * 60
    rng = random.Random(opts.seed)
    text, failures, kinds, outages = scenario(seconds, rng)

    class Sink:
        def __init__(self):
            self.subjects = Counter()

        async def handle_DATA(self, server, session, envelope):
            body = envelope.content.decode("utf-8", "replace")
            subject = re.search(r"^Subject: (.*)$", body, re.M)
            kind = subject.group(1).strip() if subject else "?"
            if "has begun inverting" in body:
                kind += " (begun)"
            elif "has stopped inverting" in body:
                kind += " (stopped)"
            self.subjects[kind] += 1
            return "250 OK"

    sink = Sink()
    smtp_port = free_port()
    smtp = Controller(sink, hostname="127.0.0.1", port=smtp_port)
    smtp.start()

    with tempfile.TemporaryDirectory() as home:
        home = Path(home)
        (home / "soak.txt").write_text(text)
        relay = Proc([sim_bin, "--host", "127.0.0.1", "--port", 0, "--no-udp", "--seed", opts.seed,
                      "--scenario", home / "soak.txt"])
        found = relay.find(r"tcp=127\.0\.0\.1:(\d+)")
        if not found:
            sys.exit("relay-sim did not start:\n" + "\n".join(relay.lines))
        start = time.monotonic()
        port = int(found.group(1))
        ini = home / "Ebbmark.ini"

        def write_settings(n):
            # Replaced whole, as the configuration program saves: a file
            # truncated and then written shows the service two changes.
            temp = home / ".Ebbmark.ini.new"
            temp.write_text(
                f"; rewrite {n}\n[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nSDSOC=59\n"
                f"SOCOII=1\nSDTimer=0\nShutdownType=1\nEmailOptions=1\nEmailDelay=0\n"
                f"SMTPHost=127.0.0.1\nSMTPPort={smtp_port}\nSMTPFrom=ups@localhost\n"
                f"SMTPTo=admin@localhost\n")
            os.replace(temp, ini)

        write_settings(0)
        events = home / "events.jsonl"
        env = dict(os.environ, EBBMARK_HOME=str(home), EBBMARK_EVENT_LOG=str(events),
                   EBBMARK_POWER_DRYRUN=str(home / "power.jsonl"))
        for name in ("NOTIFY_SOCKET", "INVOCATION_ID"):
            env.pop(name, None)
        svc = Proc([svc_bin, "debug"], env=env)
        svc.find(r"Host:", timeout=10)
        first = svc.usage()
        crashes = []
        rewrites = 0
        last = first
        while time.monotonic() - start < seconds:
            time.sleep(1)
            if svc.p.poll() is not None:
                crashes.append((round(time.monotonic() - start), svc.p.returncode,
                                svc.lines[-5:]))
                svc = Proc([svc_bin, "debug"], env=env)
                continue
            last = svc.usage()
            due = int((time.monotonic() - start) // REWRITE)
            if due > rewrites:
                rewrites = due
                write_settings(rewrites)
        # Let the last settings change be seen, then end.
        time.sleep(2)
        if svc.p.poll() is None:
            last = svc.usage()
        relay_alive = relay.p.poll() is None
        svc.stop()
        relay.stop()
        smtp.stop()

        records = Counter()
        for line in events.read_text().splitlines() if events.exists() else []:
            e = json.loads(line)
            key = re.sub(r"\d+", "N", e["text"].split("\r\n")[0])
            records[(e["type"], e["id"], key)] += 1
        power = (home / "power.jsonl").read_text().count("\n") if (home / "power.jsonl").exists() else 0

    print(f"soak: {opts.minutes:g} min, seed {opts.seed}, {failures} mains failures, "
          f"{rewrites} settings rewrites, faults {dict(kinds)}")
    print(f"crashes: {len(crashes)}" + "".join(f"\n  at {t} s, exit {rc}: {tail}"
                                                  for t, rc, tail in crashes))
    print(f"relay-sim still running at the end: {relay_alive}")
    print(f"RSS: {first[0]} KiB at start, {last[0]} KiB at end")
    print(f"open files: {first[1]} at start, {last[1]} at end")
    print(f"CPU: {last[2]:.1f} s over {seconds:.0f} s ({100 * last[2] / seconds:.2f} %)")
    refuses = kinds["refuse"]
    expected = {
        (4, 110, "Started monitoring inverter at address N."): (1, 1),
        (2, 110, "The inverter at address N has started inverting power."): (failures, failures),
        (4, 110, "New settings detected, resetting application."): (rewrites, rewrites),
        # A refused reconnect is recorded at most once per refusal.
        (1, 109, "Could not connect to TCP host N.N.N.N on port N."): (0, refuses),
        # 5 s without data warns once; a settings reset in the outage forgets the
        # last data, and with it the warning.
        (2, 110, "Lost TCP connection to host N.N.N.N! Attempting reconnection."): (0, outages),
    }
    print("records (type, id, text): got / expected")
    ok = not crashes and relay_alive and power == 0
    for key in sorted(set(records) | set(expected), key=str):
        lo, hi = expected.get(key, (0, 0))
        got = records.get(key, 0)
        good = lo <= got <= hi
        ok = ok and good
        want = str(lo) if lo == hi else f"{lo}..{hi}"
        print(f"  {'ok ' if good else 'BAD'} {got:5d} / {want:>6}  {key}")
    print("emails: got / expected")
    expected_mail = {"[Ebbmark] Power Event (begun)": failures,
                     "[Ebbmark] Power Event (stopped)": failures}
    for kind in sorted(set(sink.subjects) | set(expected_mail)):
        got = sink.subjects.get(kind, 0)
        want = expected_mail.get(kind, 0)
        ok = ok and got == want
        print(f"  {'ok ' if got == want else 'BAD'} {got:5d} / {want:6d}  {kind}")
    print(f"power actions: {power} / 0")
    print("soak: " + ("as expected" if ok else "DIFFERENCES"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
