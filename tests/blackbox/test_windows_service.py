"""The Windows build as a real service under Wine's service manager: install,
start, stop and removal, with the records going to the event log. Wine does
not pass the EBBMARK_* variables on to service processes, so what the service
does is read from the relay (its connection) and from Wine's trace of
ReportEventW."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import SVC_CMD, UNDER_WINE, native_path, wait_for

pytestmark = pytest.mark.skipif(not UNDER_WINE, reason="needs the Windows build under Wine")


class Prefix:
    """A Wine prefix of this test alone, with a persistent server so that the
    service manager and the service outlive each command."""

    def __init__(self, path: Path):
        path.mkdir()
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all,+eventlog")
        self.system_log = path.parent / "wine-system.log"
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=30)
        # The first command boots the prefix: the service manager's trace,
        # the service's among it, goes where this command's output goes.
        with open(self.system_log, "w") as log:
            subprocess.run(["wine", "cmd", "/c", "echo"], env=self.env, stdout=log,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=120)

    def run(self, *args, timeout=60):
        # Output goes to a file: processes the command starts in the prefix
        # would keep a pipe open long after it ended.
        out = self.system_log.parent / "wine-command.log"
        with open(out, "w+") as f:
            code = subprocess.run(["wine", *map(str, args)], env=self.env, stdout=f,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                  timeout=timeout).returncode
            f.seek(0)
            return code, f.read()

    def system_text(self):
        return self.system_log.read_text(errors="replace")

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)


@pytest.fixture
def prefix(tmp_path):
    p = Prefix(tmp_path / "prefix")
    yield p
    p.close()


SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Ebbmark"
SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\Eventlog\Application\Ebbmark"


def test_service_manager_runs_the_installed_service(home, procs, prefix):
    relay = procs.relay("--verbose")
    # The service reads its settings from its own folder, as on a real machine.
    exe = home.path / "EbbmarkSvc.exe"
    shutil.copy(SVC_CMD[-1], exe)
    home.write_settings(TCPHost="127.0.0.1", TCPPort=relay.port)

    assert prefix.run(exe, "install", "silent") == (0, "")
    code, text = prefix.run("reg", "query", SERVICE_KEY, "/v", "ImagePath")
    assert code == 0 and f'"{native_path(exe)}"' in text, text  # quoted: blanks are safe
    code, text = prefix.run("reg", "query", SOURCE_KEY, "/v", "EventMessageFile")
    assert code == 0 and native_path(exe) in text, text

    assert prefix.run("net", "start", "Ebbmark")[0] == 0
    connected = wait_for(lambda: relay.out.find(r"client \S+ connected"), 20)
    assert connected, relay.out.text()
    announced = 'ReportEventW L"Started monitoring inverter at address 0."'
    assert wait_for(lambda: announced in prefix.system_text(), 20), prefix.system_text()[-2000:]
    code, text = prefix.run("sc", "query", "Ebbmark")
    assert "RUNNING" in text, text

    assert prefix.run("net", "stop", "Ebbmark")[0] == 0
    assert wait_for(lambda: relay.out.find(r"client \S+ disconnected", since=connected[0]), 10)
    assert wait_for(lambda: "STOPPED" in prefix.run("sc", "query", "Ebbmark")[1], 10, step=0.5)

    assert prefix.run(exe, "uninstall", "silent") == (0, "")
    assert prefix.run("sc", "query", "Ebbmark")[0] != 0
    assert prefix.run("reg", "query", SOURCE_KEY)[0] != 0
