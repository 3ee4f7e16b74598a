#!/usr/bin/python3
"""The NUT server under load, beside NUT's own server, in the same run.

1. Load: CLIENTS clients (default 100) each send `LIST VAR <device>` once a
   second for SECONDS (default 60), first against Ebbmark (EbbmarkSvc with its
   ebbmark-nut helper, following relay-sim) and then against NUT's upsd with
   its dummy-ups driver serving the same variables. For each: CPU seconds of
   the server processes over the run (from /proc/PID/stat), their PSS at the
   end (smaps_rollup), and the median and worst answer time a client saw;
   then the ratios Ebbmark / upsd. Two patterns, each side by side:
   - polling: each client connects for each poll, as upsc and many pollers
     do (the answer time counts the connect); all CLIENTS are served;
   - held: each client keeps one connection. Ebbmark serves at most 64 at
     once and refuses the others at accept, so this pattern uses
     min(CLIENTS, 64) clients for both servers.
2. Reaction: from the relay's first line below SDSOC to a secondary upsmon's
   SHUTDOWNCMD, with upsmon's POLLFREQ stated.

upsd and dummy-ups run as test instances on 127.0.0.1 with their
configuration in a temporary folder.

usage: bench/nut_load.py [BUILD_DIR]   (default build/release; as root)
       SECONDS=0 skips the load; REACTION_ROUNDS (default 5)"""

import asyncio
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from memory_peer import children, free_port, pss_kib

root = Path(__file__).resolve().parents[1]
build = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "build" / "release"
svc_bin = build / "service" / "EbbmarkSvc"
sim_bin = build / "tools" / "relay-sim" / "relay-sim"
clients = int(os.environ.get("CLIENTS", "100"))
seconds = int(os.environ.get("SECONDS", "60"))
pollfreq = 1
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(stat[11]) + int(stat[12])) / TICKS


def wait_port(port, limit=15):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.1)
    return False


async def read_list(reader, end_line):
    data = b""
    while not data.endswith(end_line):
        chunk = await asyncio.wait_for(reader.read(65536), 10)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
        if data.startswith(b"ERR"):
            raise ConnectionError(data.decode().strip())


async def one_client(port, device, times, stop_at, held):
    end_line = f"END LIST VAR {device}\n".encode()
    request = f"LIST VAR {device}\n".encode()
    writer = None
    try:
        if held:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        while time.monotonic() < stop_at:
            started = time.monotonic()
            if held:
                writer.write(request)
                await writer.drain()
                await read_list(reader, end_line)
            else:
                reader, writer = await asyncio.open_connection("127.0.0.1", port)
                writer.write(request)
                await writer.drain()
                await read_list(reader, end_line)
                writer.write(b"LOGOUT\n")
                await writer.drain()
                await asyncio.wait_for(reader.read(), 10)
                writer.close()
                writer = None
            times.append(time.monotonic() - started)
            await asyncio.sleep(max(0.0, 1.0 - (time.monotonic() - started)))
    finally:
        if writer is not None:
            writer.close()


async def load(port, device, count, held):
    times = []
    stop_at = time.monotonic() + seconds
    # Spread over the first second, as independent clients would be.
    tasks = []
    for i in range(count):
        tasks.append(asyncio.create_task(one_client(port, device, times, stop_at, held)))
        await asyncio.sleep(1.0 / count)
    results = await asyncio.gather(*tasks, return_exceptions=True)
    errors = [r for r in results if isinstance(r, Exception)]
    return times, errors


def measure(name, port, device, pids, count, held):
    before = {p: cpu_seconds(p) for p in pids}
    times, errors = asyncio.run(load(port, device, count, held))
    cpu = sum(cpu_seconds(p) - before[p] for p in pids)
    pss = sum(pss_kib(p) for p in pids)
    med = statistics.median(times) * 1000 if times else float("nan")
    worst = max(times) * 1000 if times else float("nan")
    p99 = statistics.quantiles(times, n=100)[98] * 1000 if len(times) > 1 else float("nan")
    print(f"  {name}: {count} clients, {len(times)} answers, {len(errors)} clients failed; CPU {cpu:.2f} s, "
          f"PSS {pss} kB ({len(pids)} processes), answer median {med:.2f} ms, 99th percentile {p99:.2f} ms, worst {worst:.2f} ms")
    return cpu, pss, med, worst


VARS = {
    "battery.charge": "90", "battery.charge.low": "70", "battery.temperature": "25",
    "battery.voltage": "26.4", "battery.voltage.low": "22", "device.mfr": "Ebbmark",
    "device.model": "Inverter with battery monitor", "device.type": "ups",
    "driver.name": "ebbmark", "driver.version": "0.1.0", "input.voltage": "120",
    "output.current": "0", "ups.mfr": "Ebbmark", "ups.status": "OL",
}


def start_nut(conf):
    port = free_port()
    # Both run as nobody: they read their files and keep their sockets here.
    conf.parent.chmod(0o755)
    conf.chmod(0o777)
    (conf / "nut.conf").write_text("MODE=standalone\n")
    (conf / "ebbmark.dev").write_text("".join(f"{k}: {v}\n" for k, v in VARS.items()))
    (conf / "ups.conf").write_text(f"[ebbmark]\n  driver = dummy-ups\n  port = {conf / 'ebbmark.dev'}\n")
    (conf / "upsd.conf").write_text(f"LISTEN 127.0.0.1 {port}\nMAXCONN 1024\n")
    (conf / "upsd.users").write_text("")
    for f in conf.iterdir():
        f.chmod(0o644)
    (conf / "upsd.users").chmod(0o600)
    os.chown(conf / "upsd.users", 65534, 65534)
    env = dict(os.environ, NUT_CONFPATH=str(conf), NUT_STATEPATH=str(conf), NUT_ALTPIDPATH=str(conf))
    driver = subprocess.Popen(["/lib/nut/dummy-ups", "-a", "ebbmark", "-u", "nobody", "-F"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    upsd = subprocess.Popen(["/lib/nut/upsd", "-u", "nobody", "-F"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return port, [driver, upsd]


def stop(procs):
    for p in procs:
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()


def reaction(tmp):
    """Trigger line -> the secondary upsmon's SHUTDOWNCMD, in seconds, or None."""
    home = tmp / "reaction"
    home.mkdir()
    port = free_port()
    nut_port = free_port()
    marker = home / "down"
    scenario = home / "scenario.txt"
    scenario.write_text("inverters 0\nfndc a\nat 0 inverter all mains off current 12 ac 0 battery 26\n"
                        "at 0 fndc soc 90 temp 25\nat 12 fndc soc 60\n")
    (home / "Ebbmark.ini").write_text(
        f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={port}\nSDSOC=70\nShutdownType=1\n"
        f"NUTPort={nut_port}\nNUTUser=mon\nNUTHostSync=30\n")
    (home / "nut.secret").write_text("secret")
    (home / "nut.secret").chmod(0o600)
    conf = home / "upsmon"
    conf.mkdir()
    (conf / "upsmon.conf").write_text(
        f"MONITOR ebbmark@127.0.0.1:{nut_port} 1 mon secret secondary\nMINSUPPLIES 1\n"
        f"SHUTDOWNCMD \"/bin/sh -c 'date +%s.%N > {marker}'\"\nPOLLFREQ {pollfreq}\n"
        f"POLLFREQALERT {pollfreq}\nFINALDELAY 0\nPOWERDOWNFLAG {conf / 'killpower'}\n"
        "RUN_AS_USER root\n")
    (conf / "upsmon.conf").chmod(0o600)
    (conf / "nut.conf").write_text("MODE=netclient\n")
    relay = subprocess.Popen([str(sim_bin), "--port", str(port), "--no-udp", "--verbose",
                              "--scenario", str(scenario)], stdout=subprocess.PIPE, text=True)
    env = dict(os.environ, EBBMARK_HOME=str(home), EBBMARK_POWER_DRYRUN=str(home / "power.jsonl"))
    svc = subprocess.Popen([str(svc_bin), "debug"], env=env, stdout=subprocess.DEVNULL)
    wait_port(nut_port)
    menv = dict(os.environ, NUT_CONFPATH=str(conf), NUT_STATEPATH=str(conf), NUT_ALTPIDPATH=str(conf))
    # upsmon's PID file is in /run/nut whatever its environment says, and a
    # second upsmon (a test running beside) would stop this one starting:
    # it gets a /run of its own.
    mon = subprocess.Popen(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                            'mount -t tmpfs tmpfs /run && mkdir /run/nut && exec "$0" -F',
                            "/lib/nut/upsmon"], env=menv, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, start_new_session=True)
    # The secondary must be signed in before the trigger, or the service,
    # with nobody to wait for, may be gone before upsmon's first poll.
    signed_in = False
    end = time.monotonic() + 10
    while time.monotonic() < end and not signed_in:
        try:
            with socket.create_connection(("127.0.0.1", nut_port), timeout=2) as s:
                s.sendall(b"GET NUMLOGINS ebbmark\n")
                signed_in = s.recv(256).decode().split()[-1:] == ["1"]
        except (OSError, IndexError):
            pass
        time.sleep(0.2)
    # relay-sim prints each scenario line as it takes effect; the wall time
    # it is read at is the trigger line's time within the read's delay.
    trigger_at = None
    end = time.monotonic() + 60
    while time.monotonic() < end and trigger_at is None:
        line = relay.stdout.readline()
        if "soc 60" in line:
            trigger_at = time.time()
    end = time.monotonic() + 60
    # The shell creates the file before date writes to it.
    written = lambda: marker.exists() and marker.read_text().strip()
    while time.monotonic() < end and not written():
        time.sleep(0.02)
    down = float(marker.read_text()) if written() else None
    try:
        os.killpg(mon.pid, 15)
    except OSError:
        pass
    stop([svc, relay])
    if not (signed_in and trigger_at and down):
        print(f"reaction round not measured: signed in {signed_in}, trigger line {bool(trigger_at)}, "
              f"SHUTDOWNCMD {bool(down)}", flush=True)
        return None
    return down - trigger_at


def load_side_by_side(tmp):
    # Ebbmark, following relay-sim.
    home = tmp / "home"
    home.mkdir()
    relay_port = free_port()
    nut_port = free_port()
    (home / "Ebbmark.ini").write_text(
        f"[EbbmarkSvc]\nTCPHost=127.0.0.1\nTCPPort={relay_port}\nSDSOC=70\nSDVoltage=22\n"
        f"NUTPort={nut_port}\n")
    relay = subprocess.Popen([str(sim_bin), "--port", str(relay_port), "--no-udp",
                              "--inverters", "0", "--fndc", "a"], stdout=subprocess.DEVNULL)
    svc = subprocess.Popen([str(svc_bin), "debug"], env=dict(os.environ, EBBMARK_HOME=str(home)),
                           stdout=subprocess.DEVNULL)
    if not wait_port(nut_port):
        print("Ebbmark's NUT server did not come up")
        stop([svc, relay])
        return
    time.sleep(2)
    ebbmark_pids = [svc.pid] + children(svc.pid)

    (tmp / "nut").mkdir()
    port, nut_procs = start_nut(tmp / "nut")
    if not wait_port(port):
        print("upsd did not come up")
        stop(nut_procs + [svc, relay])
        return
    time.sleep(1)
    nut_pids = [p.pid for p in nut_procs]

    # One server at a time, so the two never share the CPU; both stay
    # up throughout so neither pays its start-up within a pattern.
    names = ["CPU", "PSS", "median answer", "worst answer"]
    for pattern, count, held in (("polling", clients, False), ("held", min(clients, 64), True)):
        print(f"{pattern}:")
        ours = measure("Ebbmark (EbbmarkSvc + ebbmark-nut)", nut_port, "ebbmark",
                       ebbmark_pids, count, held)
        peer = measure("NUT (upsd + dummy-ups)", port, "ebbmark", nut_pids, count, held)
        print("  ratios Ebbmark / upsd: " + ", ".join(
            f"{n} {a / b:.2f}" if b else f"{n} n/a" for n, a, b in zip(names, ours, peer)))
    stop(nut_procs + [svc, relay])


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        if seconds > 0:  # SECONDS=0: the reaction only
            load_side_by_side(tmp)
        rounds = int(os.environ.get("REACTION_ROUNDS", "5"))
        times = []
        for i in range(rounds):
            shutil.rmtree(tmp / "reaction", ignore_errors=True)
            took = reaction(tmp)
            if took is not None:
                times.append(took)
        if times:
            print(f"reaction: trigger line -> secondary upsmon's SHUTDOWNCMD, {len(times)} of "
                  f"{rounds} rounds: median {statistics.median(times):.2f} s, "
                  f"min {min(times):.2f} s, max {max(times):.2f} s "
                  f"(upsmon POLLFREQ {pollfreq} s, the service's tick 0.5 s)")
        else:
            print("reaction: not measured (no trigger line or no SHUTDOWNCMD)")


main()
