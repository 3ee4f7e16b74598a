#!/usr/bin/python3
"""Idle memory of EbbmarkSvc beside a peer daemon, in the same run.

EbbmarkSvc watches relay-sim streaming a normal installation (10 inverters and
a battery monitor, one line per device per second); the peer is NUT's upsmon
watching one UPS (the dummy-ups driver and upsd on 127.0.0.1, from Debian's
nut-server and nut-client). After SETTLE seconds, the proportional set size
(Pss from /proc/PID/smaps_rollup) of each is read. upsmon runs as two
processes (a privileged parent and its monitoring child); both count.

With BASELINE_BUILD_DIR, that build's EbbmarkSvc watches the same relay in
the same run (an earlier version, for a before-and-after figure).

usage: bench/memory_peer.py [BUILD_DIR] [SETTLE_SECONDS] [BASELINE_BUILD_DIR]   (as root)"""

import os
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

root = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "release"
settle = int(sys.argv[2]) if len(sys.argv) > 2 else 30
svc_bin = build / "service" / "EbbmarkSvc"
baseline_bin = Path(sys.argv[3]) / "service" / "EbbmarkSvc" if len(sys.argv) > 3 else None
sim_bin = build / "tools" / "relay-sim" / "relay-sim"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pss_kib(pid):
    """The process's PSS in KiB; 0 for one that has gone."""
    try:
        for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
            if line.startswith("Pss:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def children(pid):
    out = []
    for d in Path("/proc").iterdir():
        if d.name.isdigit():
            try:
                stat = (d / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(stat[1]) == pid:
                out.append(int(d.name))
    return out


def nut(conf):
    port = free_port()
    conf.chmod(0o755)
    (conf / "nut.conf").write_text("MODE=standalone\n")
    (conf / "dummy.dev").write_text("ups.status: OL\nbattery.charge: 100\nbattery.runtime: 3600\n")
    (conf / "ups.conf").write_text(f"[dummy]\n  driver = dummy-ups\n  port = {conf / 'dummy.dev'}\n")
    (conf / "upsd.conf").write_text(f"LISTEN 127.0.0.1 {port}\n")
    (conf / "upsd.users").write_text("[mon]\n  password = secret\n  upsmon primary\n")
    (conf / "upsmon.conf").write_text(
        f"MONITOR dummy@127.0.0.1:{port} 1 mon secret primary\nSHUTDOWNCMD \"/bin/true\"\n"
        f"POWERDOWNFLAG {conf / 'killpower'}\nMINSUPPLIES 1\n")
    for f in conf.iterdir():
        f.chmod(0o644)
    env = dict(os.environ, NUT_CONFPATH=str(conf), NUT_STATEPATH=str(conf), NUT_ALTPIDPATH=str(conf))
    procs = [subprocess.Popen(["/lib/nut/dummy-ups", "-a", "dummy", "-u", "root", "-F"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    time.sleep(1)
    procs.append(subprocess.Popen(["/lib/nut/upsd", "-u", "root", "-F"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    time.sleep(1)
    upsmon = subprocess.Popen(["/lib/nut/upsmon", "-u", "root", "-F"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    procs.append(upsmon)
    return procs, upsmon


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        (tmp / "nut").mkdir()
        nut_procs, upsmon = nut(tmp / "nut")
        port = free_port()
        (tmp / "home").mkdir()
        (tmp / "home" / "Ebbmark.ini").write_text(f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\n")
        relay = subprocess.Popen([str(sim_bin), "--port", str(port), "--no-udp", "--inverters",
                                  "0,1,2,3,4,5,6,7,8,9", "--fndc", "a"], stdout=subprocess.DEVNULL)
        time.sleep(0.5)
        svc = subprocess.Popen([str(svc_bin), "debug"], env=dict(os.environ, EBBMARK_HOME=str(tmp / "home")),
                               stdout=subprocess.DEVNULL)
        others = []
        if baseline_bin:
            others.append(subprocess.Popen([str(baseline_bin), "debug"],
                                           env=dict(os.environ, EBBMARK_HOME=str(tmp / "home")),
                                           stdout=subprocess.DEVNULL))
        time.sleep(settle)
        ours = pss_kib(svc.pid)
        before = pss_kib(others[0].pid) if others else None
        if upsmon.poll() is not None:
            print("upsmon did not run")
            peer = 0
        else:
            peer_pids = [upsmon.pid] + children(upsmon.pid)
            peer = sum(pss_kib(p) for p in peer_pids)
        try:
            os.killpg(upsmon.pid, 15)  # upsmon and its child
        except OSError:
            pass
        for p in [svc, *others, relay, *nut_procs]:
            p.terminate()
        for p in [svc, *others, relay, *nut_procs]:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
    if before is not None:
        print(f"idle Pss after {settle} s: baseline build's EbbmarkSvc {before} kB"
              + (f", ratio to upsmon {before / peer:.2f}" if peer else ""))
    print(f"idle Pss after {settle} s: EbbmarkSvc {ours} kB, upsmon {peer} kB "
          f"({len(peer_pids) if peer else 0} processes); ratio {ours / peer:.2f}" if peer else
          f"idle Pss: EbbmarkSvc {ours} kB; no peer figure")


if __name__ == "__main__":
    main()
