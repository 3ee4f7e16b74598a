"""A settings file replaced while the service runs by one it cannot use (too
large, a link to a device, a FIFO) never switches the monitoring off: one
warning names the file and why, the link stays up, and a later mains failure
still triggers the power action."""

import os

from conftest import UNDER_WINE, wait_for
from test_trigger import scenario

# The mains fail with a low battery only after the bad files have been seen.
LATE_FAILURE = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 20 inverter all mains off
at 20 inverter 0 current 12 ac 0
at 20 fndc soc 40
"""


def replace_by_rename(home, make):
    """Puts a new entry in place of Ebbmark.ini by a rename, as editors do."""
    part = home.ini.with_name(".Ebbmark.ini.bad")
    make(part)
    os.replace(part, home.ini)


def test_bad_settings_files_keep_the_settings_in_force(home, procs):
    relay = procs.relay("--verbose", "--scenario", scenario(home, LATE_FAILURE))
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=1,
                        ShutdownType=1, Force=1)
    svc = procs.service(home, "debug")
    assert wait_for(lambda: home.texts("Started monitoring"), 15), svc.out.text()
    connected = relay.out.find(r"client \S+ connected")
    assert connected

    bad = [("too large", lambda p: p.write_bytes(b";" * (2 * 1024 * 1024)), "File too large")]
    if not UNDER_WINE:
        bad += [("link to /dev/zero", lambda p: p.symlink_to("/dev/zero"), "Not a regular file"),
                ("FIFO", lambda p: os.mkfifo(p), "Not a regular file")]
    for i, (name, make, reason) in enumerate(bad, start=1):
        replace_by_rename(home, make)
        assert wait_for(lambda: len(home.texts("The settings file ")) >= i, 10), (name, home.texts())
        record = [e for e in home.events() if e["text"].startswith("The settings file ")][-1]
        assert (record["type"], record["id"]) == (2, 109), record
        assert record["text"].endswith(f" was not used: {reason}. The settings in force stay "
                                       "until it is corrected."), record
        assert "Ebbmark.ini" in record["text"]
    assert home.texts("New settings detected") == []
    assert relay.out.find(r"client \S+ disconnected") is None, "the link stayed up"
    assert svc.wait(40) == 0, svc.out.text()
    assert home.texts("Shutdown initiated due to power event.")
    assert home.power()[0]["action"] == "shutdown"
    assert len(home.texts("The settings file ")) == len(bad), "one record per change"
