"""The service's link to the relay, against relay-sim on 127.0.0.1."""

import re
import time
from datetime import datetime

from conftest import free_port, wait_for

REFUSED = "Could not connect to TCP host "
WARNED = "Lost TCP connection to host "
REPORTED = "Could not establish TCP connection to host "
STARTED = "Started monitoring inverter at address "


def test_follows_the_relay_and_announces_the_inverter(home, procs):
    relay = procs.relay("--inverters", "2,5", "--fndc", "a")
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, InverterAddress=3)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: home.texts(STARTED), 5)
    # The greeting is dropped and the stream parsed: port 2 is below the configured 3.
    assert wait_for(lambda: any("Inverter monitoring changed!" in t for t in home.texts()) or
                    home.texts(STARTED + "2."), 5)
    assert wait_for(lambda: svc.out.find(r"SOC: \d+"), 5)
    time.sleep(2)
    assert home.texts(REFUSED) == [] and home.texts(WARNED) == []


def test_refusing_relay_is_logged_once_until_a_connect_succeeds(home, procs):
    port = free_port()
    home.write_settings(TCPHost="127.0.0.1", TCPPort=port)
    procs.service(home, "debug")
    time.sleep(5)  # about five attempts
    assert len(home.texts(REFUSED)) == 1
    event = [e for e in home.events() if e["text"].startswith(REFUSED)][0]
    assert (event["type"], event["id"]) == (1, 109)
    assert event["text"].startswith(f"Could not connect to TCP host 127.0.0.1 on port {port}.\r\n\r\n")

    relay = procs.relay(port=port)
    assert wait_for(lambda: home.texts(STARTED), 5)
    relay.stop()
    assert wait_for(lambda: len(home.texts(REFUSED)) == 2, 5), "one success re-arms the record"
    time.sleep(2)
    assert len(home.texts(REFUSED)) == 2


def test_silent_relay_warns_then_reports_once(home, procs, smtp):
    # Silence from 2 s to 42 s; a second, shorter outage later gives nothing new.
    relay = procs.relay("--event", "at 2 fault silence 40", "--event", "at 50 fault silence 8")
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, EmailOptions=1,
                        SMTPHost="127.0.0.1", SMTPPort=smtp.port, SMTPFrom="ups@localhost",
                        SMTPTo="admin@localhost")
    procs.service(home, "debug")
    assert wait_for(lambda: home.texts(STARTED), 5)
    assert wait_for(lambda: home.texts(WARNED), 10)
    assert wait_for(lambda: home.texts(REPORTED), 35)
    events = {e["text"].split("!")[0]: e for e in home.events()}
    assert wait_for(lambda: len(smtp.messages) == 1, 10)
    assert "Lost TCP Connection" in smtp.messages[0].content.decode()
    time.sleep(25)  # recovery at 42 s, the second outage at 50 s
    assert len(home.texts(WARNED)) == 1
    assert len(home.texts(REPORTED)) == 1
    assert len(smtp.messages) == 1
    assert events


def test_monitoring_resumes_quickly_after_a_relay_restart(home, procs):
    relay = procs.relay()
    port = relay.port
    home.write_settings(TCPHost="127.0.0.1", TCPPort=port)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: svc.out.find(r"Current: "), 5)
    relay.stop()
    time.sleep(3)
    wall = datetime.now().replace(microsecond=0)
    restarted = procs.relay("--verbose", port=port)
    # The relay's first line that reaches the service: the first sent after it connected.
    connected = wait_for(lambda: restarted.out.find(r" client .*connected"), 5)
    assert connected, restarted.out.text()
    first_sent = wait_for(lambda: restarted.out.find(r"send 0,", since=connected[0]), 5)
    assert first_sent, restarted.out.text()

    def fresh_stamp():
        for t, line in svc.out.snapshot():
            m = re.search(r"Inverter 0 - (\S+ \S+)", line)
            if t >= restarted.started and m and \
                    datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S") >= wall:
                return t
        return None

    shown = wait_for(fresh_stamp, 5)
    assert shown, svc.out.text()
    # The debug display is redrawn on the 500 ms tick.
    assert shown - first_sent[0] < 2.0


def test_no_host_means_no_connection_and_no_record(home, procs):
    relay = procs.relay("--verbose")
    home.write_settings(TCPHost="", TCPPort=relay.port)
    procs.service(home, "debug")
    time.sleep(3)
    assert home.events() == []
    assert not relay.out.find(r"client|connect")
