"""The NUT server with real NUT clients from Debian (upsc, upsmon, PyNUTClient)
against the real service and relay-sim, all on 127.0.0.1."""

import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import UNDER_WINE, free_port, linux_only, native_path, wait_for, write_secret

UPSC = shutil.which("upsc") or "/usr/bin/upsc"
# The program itself, not the wrapper that reads /etc/nut/nut.conf.
UPSMON = "/lib/nut/upsmon"
USER = "monuser"
PASSWORD = "s3cret-pass"

pytestmark = pytest.mark.skipif(not Path(UPSC).exists(), reason="nut-client is not installed")


def scenario(home, text):
    path = home.path / "scenario.txt"
    path.write_text(text)
    return str(path)


def upsc(port, var=None, name="ebbmark"):
    args = [UPSC, f"{name}@127.0.0.1:{port}"] + ([var] if var else [])
    r = subprocess.run(args, capture_output=True, text=True, timeout=10)
    return r


def upsc_vars(port):
    r = upsc(port)
    if r.returncode != 0:
        return None
    out = {}
    for line in r.stdout.splitlines():
        name, _, value = line.partition(": ")
        out[name] = value
    return out


def status(port):
    r = upsc(port, "ups.status")
    return r.stdout.strip() if r.returncode == 0 else None


def serve(home, relay_port, port, **keys):
    settings = dict(TCPHost="127.0.0.1", TCPPort=relay_port, NUTPort=port)
    settings.update(keys)
    home.write_settings(**settings)


def set_password(home, password=PASSWORD):
    write_secret(home.path / "nut.secret", password)


def connect(port, timeout=5):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return s


def ask(sock, line, end=b"\n"):
    """Sends one command and reads its whole answer (bounded in time)."""
    sock.sendall(line.encode() + b"\n")
    data = b""
    deadline = time.monotonic() + 5
    while not data.endswith(end) and time.monotonic() < deadline:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data.decode()


STEADY = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
"""

# Mains fail at 4 s; the charge falls below 70 % at 10 s.
# The relay's clock starts with the relay; a service under Wine may take
# several seconds to start, so the mains stay on longer there, long enough
# for the first reading to be "OL".
LATER = 8 if UNDER_WINE else 0
DRAIN = f"""inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at {4 + LATER} inverter all mains off
at {4 + LATER} inverter 0 current 12 ac 0
at {7 + LATER} fndc soc 80
at {10 + LATER} fndc soc 60
"""


def test_upsc_lists_the_device_and_follows_the_battery(home, procs):
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    # The run file and the pause keep the server up while FSD shows.
    script = home.path / "run.sh"
    script.write_text("#!/bin/sh\nexit 0\n")
    script.chmod(0o755)
    serve(home, relay.port, port, SDSOC=70, SOCOII=1, ShutdownType=1, SDVoltage=22,
          ExecuteFile=native_path(script), ExecuteDelay=10)
    svc = procs.service(home, "debug")

    assert wait_for(lambda: status(port) == "OL", 10), (upsc(port), svc.out.text())
    v = upsc_vars(port)
    assert v["device.type"] == "ups"
    assert v["battery.charge"] == "90"
    assert v["battery.voltage"] == "26.4"
    assert v["input.voltage"] == "120"
    assert v["battery.charge.low"] == "70"
    assert v["battery.voltage.low"] == "22"
    for name in ("device.mfr", "device.model", "driver.name", "driver.version", "ups.mfr",
                 "battery.temperature", "output.current"):
        assert v.get(name), name

    seen = []
    charges = []

    def follow():
        s = status(port)
        if s and (not seen or seen[-1] != s):
            seen.append(s)
        c = upsc(port, "battery.charge").stdout.strip()
        if c and (not charges or charges[-1] != c):
            charges.append(c)
        return s == "OB LB FSD"

    assert wait_for(follow, 30, step=0.1), (seen, svc.out.text())
    # LB is the trigger's own battery rule, so FSD follows it on the same tick.
    assert seen[0] == "OL" and "OB" in seen and seen[-1] == "OB LB FSD", seen
    assert seen.index("OB") < len(seen) - 1
    assert charges[:3] == ["90", "80", "60"], charges
    assert svc.wait(20) == 0
    assert home.power() == [{"action": "shutdown", "force": True}]


def test_a_silent_relay_is_data_stale(home, procs):
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, STEADY + "at 3 fault silence 120\n"))
    serve(home, relay.port, port)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: status(port) == "OL", 10), svc.out.text()
    # Stale 30 s after the last known line.
    assert wait_for(lambda: "Data stale" in upsc(port).stderr, 45), (upsc(port), svc.out.text())
    assert "Data stale" in upsc(port, "ups.status").stderr
    # Read-only answers that do not carry data still work.
    assert "ebbmark" in subprocess.run([UPSC, "-l", f"127.0.0.1:{port}"], capture_output=True,
                                       text=True, timeout=10).stdout


def test_pynut_lists_the_device_and_its_variables(home, procs):
    sys.path.insert(0, "/usr/lib/python3/dist-packages")
    PyNUT = pytest.importorskip("PyNUT")
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, STEADY))
    serve(home, relay.port, port, NUTName="ups")
    procs.service(home, "debug")
    assert wait_for(lambda: status(port) is None and upsc(port, name="ups").returncode == 0, 10)
    assert wait_for(lambda: upsc_vars_named(port, "ups"), 10)
    client = PyNUT.PyNUTClient(host="127.0.0.1", port=port)
    assert list(client.GetUPSList().keys()) == [b"ups"]
    variables = client.GetUPSVars("ups")
    assert variables[b"ups.status"] == b"OL"
    assert variables[b"battery.charge"] == b"90"
    # Nothing is writable and there are no commands: empty lists.
    with connect(port) as s:
        assert ask(s, "LIST RW ups", b"END LIST RW ups\n") == "BEGIN LIST RW ups\nEND LIST RW ups\n"
        assert ask(s, "LIST CMD ups", b"END LIST CMD ups\n") == \
            "BEGIN LIST CMD ups\nEND LIST CMD ups\n"


def upsc_vars_named(port, name):
    r = upsc(port, name=name)
    return r.returncode == 0 and "ups.status: OL" in r.stdout


def upsmon_config(home, port, marker, hostsync=15):
    """A secondary upsmon of its own, with its files in the test's folder."""
    conf = home.path / "upsmon"
    conf.mkdir(exist_ok=True)
    (conf / "upsmon.conf").write_text(f"""
MONITOR ebbmark@127.0.0.1:{port} 1 {USER} "{PASSWORD}" secondary
MINSUPPLIES 1
SHUTDOWNCMD "/bin/sh -c 'date +%s.%N > {marker}'"
POLLFREQ 1
POLLFREQALERT 1
HOSTSYNC {hostsync}
DEADTIME 15
FINALDELAY 0
POWERDOWNFLAG {conf}/killpower
RUN_AS_USER root
""")
    (conf / "upsmon.conf").chmod(0o600)
    (conf / "nut.conf").write_text("MODE=netclient\n")
    env = dict(os.environ, NUT_CONFPATH=str(conf), NUT_STATEPATH=str(conf), NUT_ALTPIDPATH=str(conf))
    return env


def upsmon_command():
    """upsmon keeps its PID file in /run/nut whatever its environment says,
    and a second one refuses to start beside a running one: as root, each
    gets a /run of its own, so runs side by side (Linux and Wine) never meet."""
    if os.geteuid() != 0:
        return [UPSMON, "-F"]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount -t tmpfs tmpfs /run && mkdir /run/nut && exec "$0" -F', UPSMON]


def events_at(home, part):
    return [e for e in home.events() if part in e["text"]]


def iso_seconds(stamp):
    return time.mktime(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ")) - time.timezone


# Mains fail at once; the battery stays high. Only the timer triggers, at the
# next calendar minute.
ON_BATTERY_HIGH = """inverters 0
fndc a
at 0 inverter all mains off current 12 ac 0 battery 26.4
at 0 fndc soc 95 temp 25
"""


def test_a_real_upsmon_secondary_shuts_down_first_and_the_wait_ends_at_its_logout(home, procs):
    port = free_port()
    marker = home.path / "secondary-down"
    relay = procs.relay("--scenario", scenario(home, ON_BATTERY_HIGH))
    serve(home, relay.port, port, SDTimer=1, ShutdownType=1, NUTUser=USER, NUTHostSync=120)
    set_password(home)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: status(port) == "OB", 10), svc.out.text()

    mon = subprocess.Popen(upsmon_command(), env=upsmon_config(home, port, marker),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           start_new_session=True)
    try:
        assert wait_for(lambda: _numlogins(port) == 1, 15), svc.out.text()
        # The trigger comes at the next minute; the secondary sees FSD, runs
        # its own shutdown and leaves; the service's power action follows.
        assert wait_for(lambda: home.power(), 90), svc.out.text()
        # upsmon leaves (which ends the service's wait) as it starts its
        # SHUTDOWNCMD, so the two come within moments of each other.
        assert wait_for(marker.exists, 5), "the secondary's SHUTDOWNCMD ran"
        assert marker.stat().st_mtime <= home.power_file.stat().st_mtime + 1.0
        asked = events_at(home, "asked to shut down")
        assert asked and "1 system was" in asked[0]["text"] and asked[0]["id"] == 110, home.texts()
        # The wait ended at the logout, far from NUTHostSync's 120 s.
        fsd = iso_seconds(asked[0]["time"])
        power = iso_seconds(home.power_lines()[0]["time"])
        assert power - fsd < 60, (fsd, power)
        assert not events_at(home, "still logged in")
        assert svc.wait(20) == 0
    finally:
        try:
            os.killpg(mon.pid, 9)  # upsmon and its child
        except OSError:
            pass
        mon.wait(5)


def _numlogins(port):
    try:
        with connect(port) as s:
            answer = ask(s, "GET NUMLOGINS ebbmark")
        return int(answer.split()[-1])
    except (OSError, ValueError, IndexError):
        return -1


def test_a_secondary_that_never_leaves_holds_the_action_until_host_sync(home, procs):
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    serve(home, relay.port, port, SDSOC=70, SOCOII=1, ShutdownType=1, NUTUser=USER,
          NUTHostSync=6)
    set_password(home)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: status(port) == "OL", 10), svc.out.text()
    with connect(port) as s:
        assert ask(s, "USERNAME " + USER) == "OK\n"
        assert ask(s, f'PASSWORD "{PASSWORD}"') == "OK\n"
        assert ask(s, "LOGIN ebbmark") == "OK\n"
        assert wait_for(lambda: home.power(), 40), svc.out.text()
        asked = events_at(home, "asked to shut down")[0]
        still = events_at(home, "still logged in")
        assert len(still) == 1 and "127.0.0.1" in still[0]["text"] and still[0]["type"] == 2
        waited = iso_seconds(home.power_lines()[0]["time"]) - iso_seconds(asked["time"])
        assert 5 <= waited <= 20, waited
        assert svc.wait(20) == 0


def test_bad_input_never_stops_a_good_client(home, procs):
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, STEADY))
    serve(home, relay.port, port, NUTUser=USER)
    set_password(home)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: status(port) == "OL", 10), svc.out.text()
    good = connect(port)

    def answered():
        return ask(good, "GET VAR ebbmark ups.status") == 'VAR ebbmark ups.status "OL"\n'

    # A 10 kB line: that client is dropped.
    with connect(port) as s:
        s.sendall(b"X" * 10000 + b"\n")
        assert wait_for(lambda: _closed(s), 5)
    assert answered()
    # NULs are refused as bytes of a command, not the end of anything.
    with connect(port) as s:
        answer = ask(s, "GET\0VAR ebbmark\0 ups.status")
        assert answer.startswith("ERR "), answer
    assert answered()
    # 200 connections at once: 64 are served, the rest refused at accept.
    many = []
    for _ in range(200):
        try:
            many.append(connect(port, timeout=2))
        except OSError:
            pass
    # Those over the limit are closed by the server; none is closed before
    # counting, so no place frees up for one still waiting in the backlog.
    time.sleep(1)
    open_ones = sum(1 for s in many if not _closed(s))
    for s in many:
        s.close()
    assert 0 < open_ones <= 63, open_ones
    # The helper's records reach the file through the service: on a busy
    # machine that takes a moment.
    assert wait_for(lambda: events_at(home, "refused a connection"), 10)
    assert len(events_at(home, "refused a connection")) == 1
    assert answered()
    # A client that never reads: dropped once 64 KiB are waiting for it.
    with connect(port) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.setblocking(False)
        sent = 0
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                sent += s.send(b"LIST VAR ebbmark\n" * 100)
            except BlockingIOError:
                time.sleep(0.01)
            except OSError:
                break
        assert answered()
    # Ten wrong passwords, five on each of two connections: each is closed
    # after its fifth, and the address gets one record in the minute, with
    # no password in it.
    for _ in range(2):
        with connect(port) as s:
            assert ask(s, "USERNAME " + USER) == "OK\n"
            assert ask(s, "PASSWORD wrong-password") == "OK\n"
            answers = [ask(s, "LOGIN ebbmark") for _ in range(4)]
            assert all(a == "ERR ACCESS-DENIED\n" for a in answers), answers
            s.sendall(b"LOGIN ebbmark\n")
            assert wait_for(lambda: _closed(s), 5)
        assert answered()
    assert wait_for(lambda: events_at(home, "failed to sign in"), 10), home.texts()
    failed = events_at(home, "failed to sign in")
    assert len(failed) == 1 and "127.0.0.1" in failed[0]["text"], home.texts()
    assert failed[0]["type"] == 2, failed
    assert not any("wrong-password" in t or PASSWORD in t for t in home.texts())
    # The refusals were the password's: the right one, from the same
    # address, still signs in (the password file was read, not refused).
    assert not events_at(home, "password"), home.texts()
    with connect(port) as s:
        assert ask(s, "USERNAME " + USER) == "OK\n"
        assert ask(s, f'PASSWORD "{PASSWORD}"') == "OK\n"
        assert ask(s, "LOGIN ebbmark") == "OK\n"
        assert _numlogins(port) == 1
    good.close()
    assert svc.proc.poll() is None


def _closed(s):
    try:
        s.settimeout(0.2)
        while True:
            data = s.recv(65536)
            if not data:
                return True
    except socket.timeout:
        return False
    except OSError:
        return True


@linux_only("the helper process is the Linux build's")
def test_the_listening_process_is_not_root(home, procs):
    port = free_port()
    relay = procs.relay("--scenario", scenario(home, STEADY))
    serve(home, relay.port, port)
    procs.service(home, "debug")
    assert wait_for(lambda: status(port) == "OL", 10)
    out = subprocess.run(["ss", "-Htlnp", f"sport = :{port}"], capture_output=True, text=True,
                         timeout=10).stdout
    pids = {int(p.split("=")[1]) for p in out.replace(",", " ").split() if p.startswith("pid=")}
    assert pids, out
    for pid in pids:
        uid = int(Path(f"/proc/{pid}/status").read_text().split("Uid:")[1].split()[1])
        assert uid != 0, (pid, Path(f"/proc/{pid}/cmdline").read_text())
        assert Path(f"/proc/{pid}/comm").read_text().strip() == "ebbmark-nut"


def test_a_taken_port_is_recorded_and_the_server_comes_up_when_it_is_free(home, procs):
    port = free_port()
    taken = socket.socket()
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind(("127.0.0.1", port))
    taken.listen()
    relay = procs.relay("--scenario", scenario(home, STEADY))
    serve(home, relay.port, port, NUTListen="127.0.0.1")
    svc = procs.service(home, "debug", EBBMARK_NUT_RETRY_SECONDS=3)
    assert wait_for(lambda: events_at(home, "cannot listen"), 10), svc.out.text()
    rec = events_at(home, "cannot listen")[0]
    assert rec["id"] == 109 and rec["type"] == 1
    assert f"127.0.0.1 port {port}" in rec["text"]
    assert wait_for(lambda: events_at(home, "Started monitoring"), 10), "monitoring goes on"
    time.sleep(4)
    assert len(events_at(home, "cannot listen")) == 1, "not repeated at the retry"
    taken.close()
    assert wait_for(lambda: status(port) == "OL", 15), svc.out.text()
    assert len(events_at(home, "cannot listen")) == 1
