"""EbbmarkSvc's command line, its settings-change reset and its stop."""

import os
import signal
import socket
import stat
import time

import pytest

from conftest import SVC_CMD, linux_only, wait_for

RESET = "New settings detected, resetting application."


def test_settings_change_gives_one_record_per_new_time(home, procs):
    home.write_settings(TCPHost="")
    svc = procs.service(home, "debug")
    time.sleep(1.5)
    assert home.texts(RESET) == [], "nothing changed yet"

    # Two changes 0.9 s apart (almost two ticks) whose times fall within the
    # same second.
    base = int(time.time()) * 10**9 + 10**9
    os.utime(home.ini, ns=(base + 50_000_000, base + 50_000_000))
    time.sleep(0.9)
    os.utime(home.ini, ns=(base + 950_000_000, base + 950_000_000))
    time.sleep(1.2)
    assert len(home.texts(RESET)) == 2

    # A real save (content and time) is seen once, then nothing more.
    home.write_settings(TCPHost="", InverterAddress=2)
    time.sleep(1.5)
    assert len(home.texts(RESET)) == 3
    assert all(e["type"] == 4 and e["id"] == 110 for e in home.events() if e["text"] == RESET)
    assert svc.proc.poll() is None


@pytest.mark.bound
def test_run_by_hand_outside_systemd_ends_after_a_second(home, procs):
    home.write_settings()
    for args in ([], ["Debug"], ["install "]):
        svc = procs.service(home, *args)
        code = svc.wait(5)
        elapsed = time.monotonic() - svc.started
        assert code == 0, args
        assert elapsed < 2.5, (args, elapsed)  # about one second, generous for slow machines
        assert "debug" in svc.out.text() and "install" in svc.out.text()


@pytest.mark.bound
@linux_only("a POSIX signal ends the Wine process itself, not the program in order")
def test_sigterm_ends_debug_mode_at_once(home, procs):
    home.write_settings()
    svc = procs.service(home, "debug")
    time.sleep(1.0)
    assert svc.proc.poll() is None
    sent = time.monotonic()
    svc.signal(signal.SIGTERM)
    assert svc.wait(3) == 0
    assert time.monotonic() - sent < 1.5


def test_sigint_ends_debug_mode(home, procs):
    home.write_settings()
    svc = procs.service(home, "debug")
    # Once the debug display shows, the program is listening for Ctrl+C
    # (under Wine, start-up alone can take longer than a second).
    assert wait_for(lambda: svc.out.find(r"^Host:"), 15), svc.out.text()
    svc.signal(signal.SIGINT)
    assert svc.wait(15) == 0  # Wine under load can take several seconds


@linux_only("systemd's notification socket exists only on Linux")
def test_the_status_line_tells_systemd_what_the_service_waits_for(home, procs):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    path = home.path / "notify"
    sock.bind(str(path))
    sock.settimeout(0.5)
    home.write_settings(TCPHost="")
    svc = procs.service(home, NOTIFY_SOCKET=path)
    got = []
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and not any(m.startswith("STATUS=") for m in got):
        try:
            got.append(sock.recv(4096).decode())
        except socket.timeout:
            pass
    sock.close()
    assert "READY=1" in got, got
    assert (f"STATUS=No relay configured: set TCPHost in {home.ini}, or use the Ebbmark window"
            in got), got
    assert home.texts("No relay") == [], "a status line, no event record"
    svc.signal(signal.SIGTERM)
    assert svc.wait(10) == 0


STANDIN = """#!/bin/sh
echo "$*" >> "$SYSTEMCTL_LOG"
case "$1" in
  show)
    if [ -n "$STANDIN_FRAGMENT" ]; then
      echo LoadState=loaded; echo "ActiveState=${STANDIN_ACTIVE:-inactive}"
      echo "FragmentPath=$STANDIN_FRAGMENT"
    elif [ -f "$EBBMARK_SYSTEMD_UNIT_DIR/ebbmark.service" ]; then
      echo LoadState=loaded; echo "ActiveState=${STANDIN_ACTIVE:-inactive}"
      echo "FragmentPath=$EBBMARK_SYSTEMD_UNIT_DIR/ebbmark.service"
    else
      echo LoadState=not-found; echo ActiveState=inactive
    fi ;;
esac
exit ${STANDIN_EXIT:-0}
"""


def _standin(home):
    bindir = home.path / "bin"
    bindir.mkdir(exist_ok=True)
    tool = bindir / "systemctl"
    tool.write_text(STANDIN)
    tool.chmod(tool.stat().st_mode | stat.S_IEXEC)
    units = home.path / "units"
    units.mkdir(exist_ok=True)
    log = home.path / "systemctl.log"
    env = dict(PATH=f"{bindir}:{os.environ['PATH']}", EBBMARK_SYSTEMD_UNIT_DIR=units, SYSTEMCTL_LOG=log)
    return units / "ebbmark.service", log, env


def _calls(log):
    return log.read_text().splitlines() if log.exists() else []


@linux_only("systemd exists only on Linux; test_windows_service covers the service manager")
def test_install_and_uninstall_through_systemctl(home, procs):
    unit, log, env = _standin(home)

    svc = procs.service(home, "install", **env)
    assert svc.wait(5) == 0
    assert "Ebbmark is now installed as a service!" in svc.out.text()
    text = unit.read_text()
    assert "Type=notify" in text and "WantedBy=multi-user.target" in text
    exec_start = [l for l in text.splitlines() if l.startswith("ExecStart=")][0]
    assert exec_start.split("=", 1)[1].strip('"').startswith("/")
    assert any(c.startswith("enable") and "ebbmark.service" in c for c in _calls(log))

    svc = procs.service(home, "install", **env)
    assert svc.wait(5) == 1, "an install script must see the failure"
    assert "The Ebbmark service has already been installed." in svc.out.text()

    svc = procs.service(home, "uninstall", **env, STANDIN_ACTIVE="active")
    assert svc.wait(6) == 0
    assert "The Ebbmark service has been removed." in svc.out.text()
    calls = _calls(log)
    assert any(c.startswith("stop") for c in calls)
    assert any(c.startswith("disable") for c in calls)
    assert not unit.exists()

    svc = procs.service(home, "uninstall", **env)
    assert svc.wait(5) == 1
    assert "Could not uninstall the Ebbmark service. Either the Ebbmark service is not installed," in svc.out.text()


@linux_only("a package's unit folder exists only under systemd")
def test_uninstall_leaves_a_packaged_service_alone(home, procs):
    unit, log, env = _standin(home)
    for word in ("uninstall", "remove"):
        svc = procs.service(home, word, **env, STANDIN_ACTIVE="active",
                            STANDIN_FRAGMENT="/lib/systemd/system/ebbmark.service")
        assert svc.wait(5) == 1, word
        assert ("The Ebbmark service was installed by a package; remove it with: apt remove ebbmark"
                in svc.out.text()), svc.out.text()
    changes = [c for c in _calls(log) if c.split()[0] not in ("show", "is-enabled", "is-active")]
    assert changes == [], "the package's service is neither stopped nor disabled"


def test_silent_variants_say_nothing(home, procs):
    unit, log, env = _standin(home)
    # The second removal finds nothing to remove: a failure, said only by the status.
    for args, status in ((["install", "silent"], 0), (["uninstall", "silent"], 0),
                         (["uninstall", "silent"], 1)):
        svc = procs.service(home, *args, **env)
        assert svc.wait(6) == status, args
        assert svc.out.text().strip() == "", (args, svc.out.text())
    assert not unit.exists()


@linux_only("the refusal is staged through a systemctl stand-in")
def test_refused_install_is_reported(home, procs):
    unit, log, env = _standin(home)
    svc = procs.service(home, "install", **env, STANDIN_EXIT=1)
    assert svc.wait(5) == 1
    assert "Could not install Ebbmark as a service." in svc.out.text()
