"""The path from a trigger to the power action, and around it: a mail server
that stalls never holds the shutdown up for long, notices already handed over
get their chance before the process ends, the trigger tick still tells of the
mains failure, a settings save during an outage fakes no recovery, and "n/a"
means off."""

import datetime
import re
import time

import pytest

from conftest import UNDER_WINE, wait_for
from stalling_smtp import StallingSmtp
from test_trigger import messages, run_file, scenario

# The mail budget of a trigger, the pause before the power action, and slack.
MAIL_BUDGET = 30
PAUSE = 5
SLACK = 2

# Mains fail at 2 s; the battery falls below 70 % at 6 s.
DRAIN = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 2 inverter all mains off
at 2 inverter 0 current 12 ac 0
at 6 fndc soc 60
"""


def mail_to(port):
    return dict(SMTPHost="127.0.0.1", SMTPPort=port, SMTPFrom="ups@localhost", SMTPTo="admin@localhost")


def stamp(text):
    """Seconds of a service stamp such as "2026-12-07T05:45:22Z"."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").timestamp()


def trigger_sent(relay):
    found = relay.out.find(r"send a,(\d+,){6}60,")
    return found[0] if found else None


@pytest.fixture
def stalling():
    servers = []

    def make(mode, delay=4.0):
        s = StallingSmtp(mode, delay)
        servers.append(s)
        return s

    yield make
    for s in servers:
        s.stop()


@pytest.mark.bound
def test_a_stalling_mail_server_holds_up_the_power_action_at_most_the_budget(
        tmp_path, procs, stalling):
    # The three stalls run side by side, each with its own relay and service.
    runs = []
    for mode in ("silent", "after-dot", "trickle"):
        from conftest import Home
        home = Home(tmp_path / mode)
        home.path.mkdir()
        script, marker = run_file(home)
        server = stalling(mode)
        relay = procs.relay("--verbose", "--scenario", scenario(home, DRAIN))
        home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                            ShutdownType=1, Force=1, ExecuteFile=script, ExecuteDelay=0,
                            EmailOptions=3, EmailDelay=0, **mail_to(server.port))
        runs.append((mode, home, relay, procs.service(home, "debug"), marker))

    # Measured from the service's own stamps (whole seconds, so one more):
    # its mains-failure record, 4 s of the scenario before the trigger, and
    # its dry-run power line. A loaded Wine starts the run file slowly.
    slack = SLACK + 1 + (8 if UNDER_WINE else 0)
    limit = (6 - 2) + 0 + PAUSE + MAIL_BUDGET + slack  # ExecuteDelay 0
    for mode, home, relay, svc, marker in runs:
        assert wait_for(lambda: home.power(), 60), f"{mode}: no power action\n" + svc.out.text()
        assert trigger_sent(relay) is not None, relay.out.text()
        failed = [e["time"] for e in home.events() if "has started inverting" in e["text"]]
        assert failed, home.texts()
        took = stamp(home.power_lines()[0]["time"]) - stamp(failed[0])
        assert took <= limit, f"{mode}: {took:.0f} s from the mains failure to the power action"
        assert marker.exists(), f"{mode}: the run file ran"
        assert svc.wait(15) == 0, f"{mode}: the process ended\n" + svc.out.text()
        warnings = home.texts('The email "')
        assert warnings and all("could not be sent" in w for w in warnings), home.texts()


DO_NOTHING = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 2 inverter all mains off
at 2 inverter 0 current 12 ac 0
at 5 fndc soc 60
"""


def test_a_notice_handed_over_before_the_end_still_arrives(home, procs, stalling):
    server = stalling("slow", delay=4.0)
    relay = procs.relay("--verbose", "--scenario", scenario(home, DO_NOTHING))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=0, EmailOptions=1, EmailDelay=0, **mail_to(server.port))
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert len(server.messages) == 1, "the inverter-started email arrived"
    assert b"has begun inverting" in server.messages[0]
    assert home.texts('The email "') == []


@pytest.mark.bound
def test_a_dead_mail_server_costs_the_end_at_most_the_drain_time(home, procs, stalling):
    server = stalling("silent")
    relay = procs.relay("--verbose", "--scenario", scenario(home, DO_NOTHING))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=0, EmailOptions=1, EmailDelay=0, **mail_to(server.port))
    svc = procs.service(home, "debug")
    assert wait_for(lambda: trigger_sent(relay), 20), relay.out.text()
    sent = trigger_sent(relay)
    assert svc.wait(30) == 0, svc.out.text()
    ended = time.monotonic()
    assert ended - sent <= 11 + SLACK, f"ended {ended - sent:.1f} s after the trigger"
    warnings = home.texts('The email "[Ebbmark] Power Event" (the mains-failure notice) could not be sent: ')
    assert len(warnings) == 1, home.texts()


@pytest.mark.bound
def test_a_stop_with_a_notice_queued_ends_within_the_drain_time(home, procs, stalling):
    server = stalling("silent")
    relay = procs.relay("--scenario", scenario(home, DO_NOTHING.replace("at 5 fndc soc 60\n", "")))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, EmailOptions=1, EmailDelay=0,
                        **mail_to(server.port))
    svc = procs.service(home, "debug")
    assert wait_for(lambda: server.connections >= 1, 20), svc.out.text()
    asked = time.monotonic()
    svc.ask_to_stop()
    assert svc.wait(20) is not None
    took = time.monotonic() - asked
    assert took <= 10 + SLACK, f"{took:.1f} s"
    assert len(home.texts('The email "[Ebbmark] Power Event" (the mains-failure notice) could not be sent: ')) == 1


# Mains fail and the battery is already low on the same line.
FIRST_TICK = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 3 inverter all mains off
at 3 inverter 0 current 12 ac 0
at 3 fndc soc 50
"""


def test_a_trigger_on_the_first_inverting_tick_tells_of_the_mains_failure(home, procs, smtp):
    relay = procs.relay("--scenario", scenario(home, FIRST_TICK))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=1, EmailOptions=1, EmailDelay=0, **mail_to(smtp.port))
    svc = procs.service(home, "debug")
    assert svc.wait(30) == 0, svc.out.text()
    assert home.texts() == ["Started monitoring inverter at address 0.",
                            "The inverter at address 0 has started inverting power.",
                            "Shutdown initiated due to power event."], home.texts()
    assert [m[0] for m in messages(smtp)] == ["[Ebbmark] Power Event"]
    assert "has begun inverting" in messages(smtp)[0][1]


OUTAGE_ON_1 = """inverters 1
fndc a
at 0 inverter all mains off current 12 ac 0 battery 26.4
at 0 fndc soc 90 temp 25
"""


def test_settings_saves_during_an_outage_fake_no_recovery(home, procs, smtp):
    relay = procs.relay("--scenario", scenario(home, OUTAGE_ON_1))
    settings = dict(TCPHost="127.0.0.1", TCPPort=relay.port, InverterAddress=3, EmailOptions=1,
                    EmailDelay=0, **mail_to(smtp.port))
    home.write_settings(**settings)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: home.texts("The inverter at address 1 has started"), 15), svc.out.text()
    for _ in range(3):
        time.sleep(2)
        seen = len(home.texts("New settings"))  # counted before the save, which the service may see at once
        home.write_settings(**settings)  # the same settings, saved again
        assert wait_for(lambda: len(home.texts("New settings")) > seen, 15)
    time.sleep(3)
    assert len(home.texts("New settings detected")) == 3
    assert home.texts("Inverter monitoring changed!") == []
    assert len(home.texts("Started monitoring")) == 1
    assert len(home.texts("The inverter at address 1 has started inverting power.")) == 1
    assert [m[0] for m in messages(smtp)] == ["[Ebbmark] Power Event"], "no stop email"
    assert "has begun inverting" in messages(smtp)[0][1]
    assert svc.proc.poll() is None


LOW_SOC = """inverters 0
fndc a
at 0 inverter all mains off current 12 ac 0 battery 8.0
at 0 fndc soc 40 temp 25
"""


def test_na_levels_are_off_and_the_next_level_triggers(home, procs):
    relay = procs.relay("--scenario", scenario(home, LOW_SOC))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=59, SDVoltage=9,
                        SOCOII=1, ShutdownType=1)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: home.texts("The inverter at address 0 has started"), 15), svc.out.text()
    time.sleep(3)
    assert svc.proc.poll() is None and home.power() == [], "n/a is off"
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=59, SDVoltage=10,
                        SOCOII=1, ShutdownType=1)
    assert svc.wait(20) == 0, svc.out.text()
    assert home.power() == [{"action": "shutdown", "force": True}]
