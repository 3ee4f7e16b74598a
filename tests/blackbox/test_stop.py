"""A stop during a trigger sequence ends it where it stands: whatever phase it
comes in, with a notice in flight, no later step runs (no run file, no
action notice, no action record, no power action), a run file already
started runs on, and the process ends within the notices' drain time.
The stop is SIGTERM on Linux and Ctrl+C on Windows."""

import time

import pytest

from conftest import UNDER_WINE, native_path, wait_for
from stalling_smtp import StallingSmtp
from test_shutdown_path import DRAIN, mail_to, trigger_sent
from test_trigger import scenario

DRAIN_TIME = 10
SLACK = 5
STOPPED = "The service was stopped during a trigger sequence, so these steps were not taken: "


def long_run_file(home):
    """A run file that leaves a marker at its start and another about 3 s
    later. Returns the path the service is given and the two markers."""
    folder = home.path / "run files"
    folder.mkdir()
    started, finished = home.path / "started", home.path / "finished"
    if UNDER_WINE:
        # Wine's command interpreter has no sleep: four pings of the local
        # host one second apart take three seconds.
        script = folder / "save work.cmd"
        script.write_text(f'@echo ran> "{native_path(started)}"\r\n'
                          "@ping -n 4 127.0.0.1 > nul\r\n"
                          f'@echo ran> "{native_path(finished)}"\r\n')
    else:
        script = folder / "save work.sh"
        script.write_text(f"#!/bin/sh\necho ran > '{started}'\nsleep 3\necho ran > '{finished}'\n")
        script.chmod(0o755)
    return native_path(script), started, finished


@pytest.fixture
def server():
    servers = []

    def make(stall_only):
        s = StallingSmtp("after-dot", stall_only=stall_only)
        servers.append(s)
        return s

    yield make
    for s in servers:
        s.stop()


# phase: (settings, what stalls (None: every notice), the moment to stop, the
# steps the record names, the notices that fail in all).
# Notices go out one after another. In the run file's wait and in the pause
# every notice stalls: the mains-failure notice holds the run-file notice back
# until the trigger's 30-second mail budget is spent, so the run file starts
# with the run-file notice still in flight; both fail, the second in the
# drain time after the stop.
PHASES = {
    "run-file notice": (dict(EmailOptions=2, ExecuteDelay=0), b"The execution of file",
                        "stalled", "starting the run file, the pause before the action, "
                        "the action notice, the action record, the shutdown", 1),
    "run-file wait": (dict(EmailOptions=3, EmailDelay=0, ExecuteDelay=60), None,
                      "started", "the pause before the action, the action notice, "
                      "the action record, the shutdown", 2),
    "pause": (dict(EmailOptions=3, EmailDelay=0, ExecuteDelay=0), None,
              "started", "the pause before the action, the action notice, the action record, "
              "the shutdown", 2),
    "action notice": (dict(EmailOptions=2), b"The action (", "stalled",
                      "the action record, the shutdown", 1),
}


@pytest.mark.bound
@pytest.mark.parametrize("phase", list(PHASES))
def test_a_stop_during_a_trigger_takes_no_further_step(home, procs, server, phase):
    settings, stall_only, moment, steps, failures = PHASES[phase]
    smtp = server(stall_only)
    relay = procs.relay("--verbose", "--scenario", scenario(home, DRAIN))
    script, started, finished = long_run_file(home)
    if phase == "action notice":
        script = ""
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=1, Force=1, ExecuteFile=script, **settings,
                        **mail_to(smtp.port))
    svc = procs.service(home, "debug")
    if moment == "stalled":
        assert wait_for(lambda: smtp.stalled >= 1, 30), svc.out.text()
    else:
        assert wait_for(started.exists, 30 + 60), svc.out.text()
        assert smtp.stalled >= 2, "the run-file notice is in flight"
    if phase == "pause":
        time.sleep(1)  # well inside the 5-second pause
    assert trigger_sent(relay) is not None
    running = started.exists() and not finished.exists()
    asked = time.monotonic()
    svc.ask_to_stop()
    assert svc.wait(DRAIN_TIME + SLACK + 10) is not None, svc.out.text()
    took = time.monotonic() - asked
    print(f"\n{phase}: {took:.2f} s from the stop to the end of the process")
    assert took <= DRAIN_TIME + SLACK, f"{phase}: {took:.1f} s"

    assert home.power() == [], phase
    assert home.texts("Shutdown initiated") == []
    assert home.texts(STOPPED) == [STOPPED + steps + "."], home.texts()
    assert [e["id"] for e in home.events() if e["text"].startswith(STOPPED)] == [110]
    if phase == "run-file notice":
        # A run file started at the last moment would leave its marker
        # within a few seconds, even under Wine.
        assert not wait_for(started.exists, 3), "no run file after the stop"
    if phase == "run-file wait":
        assert running, "the run file was still running at the stop"
        assert wait_for(finished.exists, 10), "the run file ran on after the stop"
    # Each stalled notice failed once: in the drain time, or before the stop.
    assert len(home.texts('The email "')) == failures, home.texts()
