"""The Debian packages as an administrator meets them: installed, upgraded,
removed and purged with dpkg in a throw-away root. Without systemd running
there, the maintainer scripts' deb-systemd-helper records the enablement in
that root, which is what these tests read. Needs root (dpkg --root) and the
packages scripts/package leaves in dist/ (or EBBMARK_DEB_DIR)."""

import os
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
DEB_DIR = Path(os.environ.get("EBBMARK_DEB_DIR", SOURCE / "dist"))
UNIT = "ebbmark.service"
WANTS = Path("etc/systemd/system/multi-user.target.wants") / UNIT
SETTINGS = Path("etc/ebbmark/Ebbmark.ini")


def deb(name):
    found = sorted(DEB_DIR.glob(f"{name}_*_*.deb"))
    if not found:
        pytest.skip(f"no {name} package in {DEB_DIR} (run scripts/package)")
    return found[-1]


if os.geteuid() != 0:
    pytest.skip("dpkg --root needs root", allow_module_level=True)


class Root:
    """An empty root with a dpkg database of its own."""

    def __init__(self, path):
        self.path = path
        admin = path / "var/lib/dpkg"
        for sub in ("info", "updates", "triggers"):
            (admin / sub).mkdir(parents=True)
        (admin / "status").touch()
        (admin / "available").touch()

    def dpkg(self, *args):
        # The scripts run here rather than chrooted (the root has no shell);
        # dpkg tells them where the root is through DPKG_ROOT. The root holds
        # none of the libraries the packages depend on.
        return subprocess.run(
            ["dpkg", f"--root={self.path}", "--force-script-chrootless", "--force-depends",
             "--force-confold", *args],
            capture_output=True, text=True, timeout=120, check=True)

    def conffiles(self, package):
        out = subprocess.run(
            ["dpkg-query", f"--admindir={self.path}/var/lib/dpkg", "-W", "-f=${Conffiles}\n", package],
            capture_output=True, text=True, timeout=60, check=True).stdout
        return {line.split()[0] for line in out.splitlines() if line.strip()}

    def __truediv__(self, rel):
        return self.path / rel


@pytest.fixture
def root(tmp_path):
    return Root(tmp_path / "root")


def repacked(deb_path, version, work):
    """The same package under a newer version, as an upgrade would bring it."""
    tree = work / f"tree-{version}"
    subprocess.run(["dpkg-deb", "-R", str(deb_path), str(tree)], check=True, timeout=60)
    control = tree / "DEBIAN/control"
    text = control.read_text()
    old = next(line for line in text.splitlines() if line.startswith("Version:"))
    control.write_text(text.replace(old, f"Version: {version}"))
    out = work / f"{deb_path.stem}-{version}.deb"
    subprocess.run(["dpkg-deb", "-b", "-Zgzip", str(tree), str(out)], check=True,
                   capture_output=True, timeout=120)
    return out


def test_install_puts_everything_in_place_and_enables_the_unit(root, tmp_path):
    root.dpkg("-i", str(deb("ebbmark")), str(deb("ebbmark-config")))

    for rel in ("usr/sbin/EbbmarkSvc", "usr/bin/Ebbmark", "usr/bin/relay-sim",
                "usr/libexec/ebbmark/ebbmark-settings-writer", "usr/libexec/ebbmark/ebbmark-mail"):
        assert os.access(root / rel, os.X_OK), rel
    for rel in ("usr/share/ebbmark/README.html", "usr/share/ebbmark/examples/action.msg",
                "usr/share/applications/ebbmark.desktop",
                "usr/share/icons/hicolor/scalable/apps/ebbmark.svg",
                "usr/share/polkit-1/actions/org.ebbmark.settings.policy"):
        assert (root / rel).is_file(), rel
    # The polkit action names the helper where the package put it.
    policy = (root / "usr/share/polkit-1/actions/org.ebbmark.settings.policy").read_text()
    assert ">/usr/libexec/ebbmark/ebbmark-settings-writer</annotate>" in policy

    # The settings folder is root's, its files kept as the administrator's.
    assert root.conffiles("ebbmark") == {
        "/etc/ebbmark/Ebbmark.ini", "/etc/ebbmark/action.msg", "/etc/ebbmark/execute.msg",
        "/etc/ebbmark/invstart.msg", "/etc/ebbmark/invstop.msg"}
    folder = os.stat(root / "etc/ebbmark")
    assert (folder.st_uid, folder.st_mode & 0o777) == (0, 0o755)
    assert "[EbbmarkSvc]" in (root / SETTINGS).read_text()

    # The shipped unit is the text "EbbmarkSvc install" writes, for the
    # installed path, and comes back after a failure.
    unit = (root / "lib/systemd/system" / UNIT).read_text()
    assert "ExecStart=/usr/sbin/EbbmarkSvc\n" in unit
    assert "Restart=on-failure\n" in unit and "RestartSec=5\n" in unit
    units = tmp_path / "units"
    units.mkdir()
    stand_ins = tmp_path / "bin"
    stand_ins.mkdir()
    (stand_ins / "systemctl").write_text("#!/bin/sh\nexit 0\n")
    (stand_ins / "systemctl").chmod(0o755)
    env = dict(os.environ, EBBMARK_SYSTEMD_UNIT_DIR=str(units),
               PATH=f"{stand_ins}:{os.environ['PATH']}")
    subprocess.run([str(root / "usr/sbin/EbbmarkSvc"), "install", "silent"], env=env,
                   timeout=60, check=True)
    written = (units / UNIT).read_text()
    assert written == unit.replace("/usr/sbin/EbbmarkSvc", str(root / "usr/sbin/EbbmarkSvc"))

    # Enabled at install.
    assert os.readlink(root / WANTS) == f"/lib/systemd/system/{UNIT}"


def test_upgrade_keeps_the_settings_and_the_administrators_choice(root, tmp_path):
    root.dpkg("-i", str(deb("ebbmark")))
    edited = (root / SETTINGS).read_text().replace("TCPHost=\n", "TCPHost=relay.local\n")
    assert "relay.local" in edited
    (root / SETTINGS).write_text(edited)

    root.dpkg("-i", str(repacked(deb("ebbmark"), "0.1.0+up1", tmp_path)))
    assert (root / SETTINGS).read_text() == edited
    assert (root / WANTS).is_symlink()
    assert not list((root / "etc/ebbmark").glob("*.dpkg-*"))

    # A unit the administrator disabled (systemctl removes the link) stays
    # disabled across an upgrade.
    (root / WANTS).unlink()
    root.dpkg("-i", str(repacked(deb("ebbmark"), "0.1.0+up2", tmp_path)))
    assert not (root / WANTS).is_symlink()
    assert (root / SETTINGS).read_text() == edited


def test_remove_keeps_the_settings_and_purge_leaves_nothing(root):
    root.dpkg("-i", str(deb("ebbmark")), str(deb("ebbmark-config")))
    (root / SETTINGS).write_text((root / SETTINGS).read_text() + "SDSOC=70\n")

    root.dpkg("--remove", "ebbmark-config", "ebbmark")
    assert not (root / "usr/sbin/EbbmarkSvc").exists()
    assert not (root / "lib/systemd/system" / UNIT).exists()
    assert (root / SETTINGS).read_text().endswith("SDSOC=70\n")
    # Masked until the package comes back, so nothing starts the missing program.
    assert os.readlink(root / "etc/systemd/system" / UNIT) == "/dev/null"

    root.dpkg("--purge", "ebbmark")
    assert not (root / "etc/ebbmark").exists()
    assert not (root / "etc/systemd/system" / UNIT).exists()
    assert not (root / WANTS).exists()
    leftovers = [p for p in (root / "var/lib/systemd").rglob("*") if "ebbmark" in p.name]
    assert leftovers == []


def test_maintainer_scripts_drive_a_running_systemd(tmp_path):
    """With systemd running, the scripts start the service on a first
    install, restart it on an upgrade and stop it only on removal. A private
    mount of /run makes them believe systemd runs, one of /etc keeps the
    purge away from this computer's files; stand-ins record what they ask."""
    scripts = tmp_path / "control"
    subprocess.run(["dpkg-deb", "-e", str(deb("ebbmark")), str(scripts)], check=True, timeout=60)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    calls = tmp_path / "calls"
    for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
        (bin_dir / tool).write_text(f'#!/bin/sh\necho "{tool} $*" >> "{calls}"\nexit 0\n')
        (bin_dir / tool).chmod(0o755)

    def run(script, *args):
        calls.write_text("")
        env = {"PATH": f"{bin_dir}:/usr/bin:/bin"}
        probe = subprocess.run(
            ["unshare", "-m", "sh", "-c",
             'mount -t tmpfs none /run && mount -t tmpfs none /etc && '
             'mkdir -p /run/systemd/system /etc/ebbmark && exec "$@"', "sh",
             str(scripts / script), *args],
            env=env, capture_output=True, text=True, timeout=60)
        if probe.returncode != 0 and "unshare" in probe.stderr:
            pytest.skip(f"no private mount namespace here: {probe.stderr.strip()}")
        assert probe.returncode == 0, probe.stderr
        return calls.read_text().splitlines()

    first = run("postinst", "configure", "")
    assert "deb-systemd-helper enable ebbmark.service" in first
    assert first[-1] == "deb-systemd-invoke start ebbmark.service"
    upgrade = run("postinst", "configure", "0.1.0")
    assert upgrade[-1] == "deb-systemd-invoke restart ebbmark.service"
    assert run("prerm", "upgrade", "0.1.0+up1") == []
    assert run("prerm", "remove") == ["deb-systemd-invoke stop ebbmark.service"]
    assert run("postrm", "remove") == ["systemctl --system daemon-reload",
                                       "deb-systemd-helper mask ebbmark.service"]
    assert run("postrm", "purge") == ["deb-systemd-helper purge ebbmark.service",
                                      "deb-systemd-helper unmask ebbmark.service"]
