"""The whole trigger story: relay-sim drains the battery, the service mails,
runs the file, pauses, mails again, records, powers off (dry run) and ends."""

import email
import socket
import time

from conftest import UNDER_WINE, native_path, wait_for

# Windows gives the computer's name in capitals.
HOST = socket.gethostname().upper() if UNDER_WINE else socket.gethostname()


def scenario(home, text):
    path = home.path / "scenario.txt"
    path.write_text(text)
    return str(path)


def messages(smtp):
    out = []
    for env in smtp.messages:
        msg = email.message_from_bytes(env.content)
        body = msg.get_payload(decode=True).decode("utf-8")
        out.append((msg["Subject"], body, env.rcpt_tos, env.mail_from))
    return out


def mail_settings(smtp):
    return dict(SMTPHost="127.0.0.1", SMTPPort=smtp.port, SMTPFrom="ups@localhost",
                SMTPTo="admin@localhost")


def run_file(home):
    """A run file in a folder with a blank in its name; it leaves a marker
    file whose time says when it ran. Returns the path the service is given."""
    folder = home.path / "run files"
    folder.mkdir()
    marker = home.path / "ran"
    if UNDER_WINE:
        script = folder / "save work.cmd"
        script.write_text(f'@echo ran> "{native_path(marker)}"\r\n')
    else:
        script = folder / "save work.sh"
        script.write_text(f"#!/bin/sh\necho ran > '{marker}'\n")
        script.chmod(0o755)
    return native_path(script), marker


DRAIN = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 3 inverter all mains off
at 3 inverter 0 current 12 ac 0
at 3 fndc soc 80
at 8 fndc soc 60
"""


def test_whole_trigger_story(home, procs, smtp):
    script, marker = run_file(home)
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=1, Force=1, ExecuteFile=script, ExecuteDelay=10,
                        EmailOptions=3, EmailDelay=2, **mail_settings(smtp))
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()

    texts = [e["text"] for e in home.events()]
    assert texts == [
        "Started monitoring inverter at address 0.",
        "The inverter at address 0 has started inverting power.",
        "Shutdown initiated due to power event.",
    ], texts

    assert marker.exists(), "the run file ran"
    power_line = (home.path / "power.jsonl").read_text()
    assert home.power() == [{"action": "shutdown", "force": True}]
    # The 5-second pause lies between the run file and the power action.
    assert (home.power_file.stat().st_mtime - marker.stat().st_mtime) >= 4.5, power_line

    mails = messages(smtp)
    assert [m[0] for m in mails] == ["[Ebbmark] Power Event", "[Ebbmark] Power Event",
                                     "[Ebbmark] Shutdown Event"]
    assert all(m[2] == ["admin@localhost"] and m[3] == "ups@localhost" for m in mails)
    values = "Inverter: 0\r\nAC Input: 0\r\nInverter Current: 12\r\nBattery Voltage: 26v\r\nBattery Charge: 60%\r\n"
    assert mails[0][1].startswith("The monitored inverter has begun inverting.\r\n\r\nHost: " + HOST + "\r\n")
    assert mails[1][1] == f"The execution of file ({script}\r\n) on computer {HOST} has begun.\r\n\r\n" + values
    assert mails[2][1] == f"The action (shutdown) on computer {HOST} has begun.\r\n\r\n" + values


RECOVER = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 2 inverter all mains off
at 2 inverter 0 current 12 ac 0
at 6 fndc soc 85
at 6 inverter 0 battery 25.0
at 8 inverter all mains on
at 8 inverter 0 current 0 ac 120
"""


def test_recovery_sends_the_stopped_email_with_duration_and_drops(home, procs, smtp):
    relay = procs.relay("--scenario", scenario(home, RECOVER))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, EmailOptions=1, EmailDelay=0,
                        **mail_settings(smtp))
    svc = procs.service(home, "debug")
    assert wait_for(lambda: len(smtp.messages) >= 2, 20), svc.out.text()
    mails = messages(smtp)
    assert "has begun inverting" in mails[0][1]
    stopped = mails[1][1]
    assert stopped.startswith("The monitored inverter has stopped inverting.\r\n\r\nHost: " + HOST)
    assert "\r\nDuration: 00d 00:00:0" in stopped
    assert "\r\nBatt SOC Drop: 5%\r\n" in stopped
    assert "\r\nBatt Voltage Drop: 1v\r\n" in stopped
    assert svc.proc.poll() is None, "a recovery is no trigger"


def test_do_nothing_mails_the_action_and_stops_without_power(home, procs, smtp):
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=0,
                        ShutdownType=0, EmailOptions=2, **mail_settings(smtp))
    svc = procs.service(home, "debug")
    assert svc.wait(30) == 0, svc.out.text()
    assert home.power() == []
    mails = messages(smtp)
    assert [m[0] for m in mails] == ["[Ebbmark] Shutdown Event"]
    assert mails[0][1].startswith(f"The action (do nothing) on computer {HOST} has begun.")
    assert not any("initiated" in t for t in home.texts())


def test_refused_power_actions_fall_back_to_a_forced_shutdown(home, procs):
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=2, Force=0)
    svc = procs.service(home, "debug", EBBMARK_POWER_DRYRUN_REFUSE="hibernate,shutdown")
    assert svc.wait(40) == 0, svc.out.text()
    assert home.power() == [{"action": "hibernate", "force": False, "refused": True},
                            {"action": "shutdown", "force": False, "refused": True},
                            {"action": "shutdown", "force": True}]
    assert all(line["time"].endswith("Z") for line in home.power_lines())
    refused = [e for e in home.events() if e["text"].startswith("The system refused")]
    words = "refused by the dry run (EBBMARK_POWER_DRYRUN_REFUSE)"
    assert [e["text"] for e in refused] == [
        f"The system refused to hibernate: {words}. The computer is being shut down instead.",
        f"The system refused to shut down: {words}. Trying once more with force."]
    assert {(e["type"], e["id"]) for e in refused} == {(1, 109)}
