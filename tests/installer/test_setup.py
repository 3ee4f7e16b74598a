"""The Windows setup program under Wine, as an administrator deploys it:
"/S" into a fresh prefix, over an older version, and the uninstaller.
EBBMARK_SETUP_EXE names the setup program; EBBMARK_INSTALLER_STAGE and
EBBMARK_NSI let the test build an older version of it with makensis."""

import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

SETUP = os.environ.get("EBBMARK_SETUP_EXE")
STAGE = os.environ.get("EBBMARK_INSTALLER_STAGE")
NSI = os.environ.get("EBBMARK_NSI")

pytestmark = pytest.mark.skipif(not SETUP or not shutil.which("wine"),
                                reason="needs the setup program and Wine")

SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Ebbmark"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Ebbmark"


def wait_for(predicate, timeout, step=0.25):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class Prefix:
    """A fresh Wine prefix with a persistent server, so the service manager
    and the service outlive each command."""

    def __init__(self, path: Path):
        path.mkdir()
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all")
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=30)
        self.run("cmd", "/c", "echo", timeout=180)
        self.install_dir = path / "drive_c" / "Program Files" / "Ebbmark"

    def run(self, *args, timeout=120):
        # Output goes to a file: processes started in the prefix would keep
        # a pipe open long after the command ended.
        out = self.path.parent / "wine-command.log"
        with open(out, "w+") as f:
            code = subprocess.run(["wine", *map(str, args)], env=self.env, stdout=f,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                  timeout=timeout).returncode
            f.seek(0)
            return code, f.read()

    def reg_value(self, key, name):
        code, text = self.run("reg", "query", key, "/v", name)
        return text if code == 0 else None

    def service_state(self):
        code, text = self.run("sc", "query", "Ebbmark")
        return text if code == 0 else None

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=30)


@pytest.fixture
def prefix(tmp_path):
    p = Prefix(tmp_path / "prefix")
    yield p
    p.close()


def test_silent_install_and_uninstall(prefix):
    assert prefix.run(SETUP, "/S")[0] == 0
    folder = prefix.install_dir
    for name in ("EbbmarkSvc.exe", "Ebbmark.exe", "relay-sim.exe", "uninstall.exe",
                 "README.md", "examples/action.msg", "scenarios/steady.txt"):
        assert (folder / name).is_file(), name
    assert list(prefix.path.glob("drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Ebbmark.lnk"))
    image = prefix.reg_value(SERVICE_KEY, "ImagePath")
    assert image and r"C:\Program Files\Ebbmark\EbbmarkSvc.exe" in image, image
    uninstall = prefix.reg_value(UNINSTALL_KEY, "QuietUninstallString")
    assert uninstall and r"C:\Program Files\Ebbmark\uninstall.exe" in uninstall, uninstall
    # Started by the setup program.
    assert wait_for(lambda: "RUNNING" in (prefix.service_state() or ""), 30), prefix.service_state()

    # The user's settings stay when the program goes.
    (folder / "Ebbmark.ini").write_bytes(b"[EbbmarkSvc]\r\nTCPHost=relay.local\r\n")
    # The uninstaller hands over to a copy of itself and returns at once.
    assert prefix.run(folder / "uninstall.exe", "/S")[0] == 0
    assert wait_for(lambda: not (folder / "uninstall.exe").exists(), 60)
    assert wait_for(lambda: prefix.reg_value(SERVICE_KEY, "ImagePath") is None, 30)
    assert prefix.reg_value(UNINSTALL_KEY, "DisplayName") is None
    assert not (folder / "EbbmarkSvc.exe").exists() and not (folder / "examples").exists()
    assert not list(prefix.path.glob("drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Ebbmark.lnk"))
    assert (folder / "Ebbmark.ini").read_bytes() == b"[EbbmarkSvc]\r\nTCPHost=relay.local\r\n"


@pytest.mark.skipif(not STAGE or not NSI or not shutil.which("makensis"),
                    reason="needs the staged programs and makensis for an older setup program")
def test_upgrade_keeps_the_settings_and_the_users_templates(prefix, tmp_path):
    older = tmp_path / "older-setup.exe"
    arch = "win64" if "win64" in Path(SETUP).name else "win32"
    subprocess.run(["makensis", "-V1", "-DVERSION=0.0.1", f"-DARCH={arch}", f"-DSTAGE={STAGE}",
                    f"-DOUTFILE={older}", NSI], check=True, timeout=300)
    assert prefix.run(older, "/S")[0] == 0
    assert "0.0.1" in (prefix.reg_value(UNINSTALL_KEY, "DisplayVersion") or "")

    folder = prefix.install_dir
    settings = b"[EbbmarkSvc]\r\nTCPHost=relay.local\r\nSDSOC=70\r\n"
    (folder / "Ebbmark.ini").write_bytes(settings)
    (folder / "action.msg").write_bytes(b"Our own notice\r\n")

    assert prefix.run(SETUP, "/S")[0] == 0
    assert (folder / "Ebbmark.ini").read_bytes() == settings
    assert (folder / "action.msg").read_bytes() == b"Our own notice\r\n"
    version = prefix.reg_value(UNINSTALL_KEY, "DisplayVersion") or ""
    assert "0.0.1" not in version and "REG_SZ" in version, version
    assert prefix.reg_value(SERVICE_KEY, "ImagePath")
    assert wait_for(lambda: "RUNNING" in (prefix.service_state() or ""), 30), prefix.service_state()
