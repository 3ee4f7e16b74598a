"""The host side of the virtual-machine test, without a virtual machine: the
apt source it picks, how a boot is ended and judged, the upgrade package."""

import http.server
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vmtest  # noqa: E402


class TestAptSource:
    DEB822 = """\
Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
"""

    def test_deb822_stanzas_give_each_uri_its_suites(self):
        entries = vmtest.parse_sources("debian.sources", self.DEB822)
        assert entries == [
            ("http://mirror.example/debian", ["bookworm", "bookworm-updates"], ["main", "contrib"]),
            ("http://mirror.example/debian-security", ["bookworm-security"], ["main"]),
        ]

    def test_disabled_and_source_only_stanzas_are_skipped(self):
        text = ("Types: deb-src\nURIs: http://a.example/debian\nSuites: bookworm\nComponents: main\n\n"
                "Types: deb\nEnabled: no\nURIs: http://b.example/debian\nSuites: bookworm\n"
                "Components: main\n")
        assert vmtest.parse_sources("x.sources", text) == []

    def test_one_line_format_with_options_and_comments(self):
        text = ("# deb http://old.example/debian bookworm main\n"
                "deb-src http://src.example/debian bookworm main\n"
                "deb [arch=amd64 signed-by=/k.gpg] http://mirror.example/debian bookworm main  # x\n")
        assert vmtest.parse_sources("sources.list", text) == [
            ("http://mirror.example/debian", ["bookworm"], ["main"])]

    def test_the_release_itself_is_picked_not_its_updates_or_other_archives(self):
        entries = [("http://sec.example/debian-security", ["bookworm-security"], ["main"]),
                   ("http://up.example/debian", ["bookworm-updates"], ["main"]),
                   ("file:/srv/debian", ["bookworm"], ["main"]),
                   ("http://contrib.example/debian", ["bookworm"], ["contrib"]),
                   ("http://mirror.example/debian/", ["bookworm"], ["main"])]
        assert vmtest.pick_mirror(entries) == "http://mirror.example/debian"
        assert vmtest.pick_mirror(entries[:4]) is None

    def test_only_files_apt_reads_count(self, tmp_path):
        (tmp_path / "sources.list.d").mkdir()
        (tmp_path / "sources.list.d/off.list.disabled").write_text(
            "deb http://off.example/debian bookworm main\n")
        with pytest.raises(vmtest.CannotRun, match="no apt source"):
            vmtest.configured_mirror(tmp_path)
        (tmp_path / "sources.list.d/debian.sources").write_text(self.DEB822)
        assert vmtest.configured_mirror(tmp_path) == "http://mirror.example/debian"

    def test_an_unreachable_source_cannot_run_and_a_reachable_one_passes(self):
        class Release(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                found = self.path == "/debian/dists/bookworm/Release"
                self.send_response(200 if found else 404)
                self.end_headers()
                if found:
                    self.wfile.write(b"Origin: Debian\n")

            def log_message(self, *a):
                pass

        server = http.server.HTTPServer(("127.0.0.1", 0), Release)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{server.server_port}"
        try:
            vmtest.probe_mirror(f"{base}/debian", timeout=5)
            with pytest.raises(vmtest.CannotRun, match="cannot be reached"):
                vmtest.probe_mirror(f"{base}/elsewhere", timeout=5)
        finally:
            server.shutdown()
            server.server_close()
        with pytest.raises(vmtest.CannotRun, match="cannot be reached"):
            vmtest.probe_mirror(base + "/debian", timeout=5)  # nobody listens now


class FakeRun:
    accel = "tcg"
    qemu = None


def fake_boot(script, limit=10.0, phase="install"):
    """A boot whose 'qemu' is a shell script writing the serial lines."""
    boot = vmtest.Boot(FakeRun(), phase, limit)
    boot.progress.echo = False
    boot.command = lambda: ["sh", "-c", script]
    return boot


class TestBoot:
    def test_a_guest_that_powers_off_ends_the_boot_and_is_timed_from_the_trigger_line(self):
        boot = fake_boot("echo 'TRIGGER-LINE t=14'; sleep 0.5; echo 'RECORD x'; exit 0").go()
        assert boot.powered_off()
        assert 0.4 < boot.trigger_to_exit() < 5

    def test_a_guest_still_up_after_the_trigger_is_ended_by_the_host(self, monkeypatch):
        monkeypatch.setattr(vmtest, "POWER_OFF_LIMIT", 0.5)
        boot = fake_boot("echo 'TRIGGER-LINE t=14'; exec sleep 30").go()
        assert not boot.powered_off()
        assert "after the trigger line" in boot.ended_by
        assert boot.trigger_to_exit() is None

    def test_the_time_limit_kills_a_guest_that_never_reports(self):
        start = time.monotonic()
        boot = fake_boot("exec sleep 30", limit=0.5).go()
        assert "time limit" in boot.ended_by
        assert time.monotonic() - start < 10

    def test_done_ends_the_boot_and_the_whole_process_group_goes(self, tmp_path):
        pidfile = tmp_path / "pid"
        boot = fake_boot(f"sleep 30 & echo $! > {pidfile}; echo DONE; wait").go()
        assert boot.ended_by == "host: the guest is done"
        child = int(pidfile.read_text())
        for _ in range(50):  # the kill is asynchronous; bounded wait for it to land
            if not Path(f"/proc/{child}").exists() or "Z" in Path(f"/proc/{child}/stat").read_text().split()[2]:
                break
            time.sleep(0.1)
        else:
            pytest.fail("the guest's child outlived the boot")

    def test_carriage_returns_from_the_serial_line_are_dropped(self):
        boot = fake_boot("printf 'OK one\\r\\nFAIL two\\r\\n'").go()
        assert [s for _, s in boot.progress.lines] == ["OK one", "FAIL two"]
        assert boot.failures() == ["FAIL two"]


def finished_boot(lines, powered_off=True, phase="install"):
    boot = vmtest.Boot(FakeRun(), phase, 10)
    boot.progress.echo = False
    for i, text in enumerate(lines):
        boot.progress.add(text, stamp=100.0 + i)
    boot.ended_by = "guest" if powered_off else "host: the guest is done"
    boot.exit_stamp = 100.0 + len(lines) + 5
    return boot


class TestVerdicts:
    MARKER = ["run file ran at 2026-12-08T06:00:00Z in boot 1"]

    def test_a_clean_power_boot_has_no_problems(self):
        boot = finished_boot(["OK unit enabled", "TRIGGER-LINE t=14", "RECORD x"])
        assert vmtest.check_power_boot(boot, 1, self.MARKER, ["[110] " + vmtest.SHUTDOWN_RECORD]) == []
        assert boot.trigger_to_exit() == pytest.approx(7.0)

    def test_each_missing_piece_of_evidence_is_named(self):
        boot = finished_boot(["FAIL conffiles: x"], powered_off=False)
        problems = vmtest.check_power_boot(boot, 2, self.MARKER, ["[110] " + vmtest.SHUTDOWN_RECORD])
        text = "\n".join(problems)
        assert "conffiles" in text
        assert "never sent the low state of charge" in text
        assert "not powered off" in text
        assert "holds 1 runs, not 2" in text
        assert "holds 1 \"Shutdown initiated due to power event.\" records, not 2" in text

    REFUSAL = ("The system refused to hibernate: Not enough suitable swap space for hibernation. "
               "The computer is being shut down instead.")

    def test_a_refused_hibernation_then_a_power_off_passes(self):
        boot = finished_boot(["TRIGGER-LINE t=14", "RECORD " + self.REFUSAL], phase="hibernate")
        problems, seen = vmtest.hibernate_verdict(
            boot, ["Hibernation initiated due to power event.", self.REFUSAL])
        assert problems == []
        assert "swap space" in seen and "powered off 7.0 s after the trigger line" in seen

    def test_a_guest_left_running_after_the_refusal_fails(self):
        boot = finished_boot(["TRIGGER-LINE t=14", "RECORD " + self.REFUSAL], powered_off=False,
                             phase="hibernate")
        problems, seen = vmtest.hibernate_verdict(boot, [self.REFUSAL])
        assert problems == ["hibernate: no shutdown after the refused hibernation "
                            "(host: the guest is done)"]
        assert "not powered off" in seen

    def test_the_refusal_must_be_on_the_disk_not_only_on_the_serial_line(self):
        boot = finished_boot(["TRIGGER-LINE t=14", "RECORD " + self.REFUSAL], phase="hibernate")
        problems, _ = vmtest.hibernate_verdict(boot, ["Hibernation initiated due to power event."])
        assert problems == ["hibernate: the journal on the disk holds no refusal record"]

    def test_a_power_off_without_any_refusal_fails(self):
        # A hibernation that was not refused would not power the guest off
        # either; whatever brought it down, the refusal must be recorded.
        boot = finished_boot(["FAIL active at boot"], phase="hibernate")
        problems, _ = vmtest.hibernate_verdict(boot, [])
        assert problems == ["hibernate: FAIL active at boot",
                            "hibernate: the journal on the disk holds no refusal record"]


def test_the_upgrade_package_is_newer_and_otherwise_the_same(tmp_path):
    tree = tmp_path / "pkg"
    (tree / "DEBIAN").mkdir(parents=True)
    (tree / "usr/share/x").mkdir(parents=True)
    (tree / "usr/share/x/file").write_text("same\n")
    (tree / "DEBIAN/control").write_text(
        "Package: x\nVersion: 0.1.0\nArchitecture: amd64\nMaintainer: t <t@example.org>\n"
        "Depends: y (= 0.1.0), libc6 (>= 0.1.0)\nDescription: t\n")
    deb = tmp_path / "x_0.1.0_amd64.deb"
    subprocess.run(["dpkg-deb", "-b", "-Zgzip", str(tree), str(deb)], check=True,
                   capture_output=True)
    up = vmtest.upgrade_deb(deb, tmp_path)
    assert up.name == "x_0.1.0+vm1_amd64.deb"
    version = subprocess.run(["dpkg-deb", "-f", str(up), "Version"], capture_output=True,
                             text=True, check=True).stdout.strip()
    subprocess.run(["dpkg", "--compare-versions", version, "gt", "0.1.0"], check=True)
    # The sibling it needs exactly comes in the same upgrade; other bounds stay.
    depends = subprocess.run(["dpkg-deb", "-f", str(up), "Depends"], capture_output=True,
                             text=True, check=True).stdout.strip()
    assert depends == "y (= 0.1.0+vm1), libc6 (>= 0.1.0)"
    listing = subprocess.run(["dpkg-deb", "-c", str(up)], capture_output=True, text=True,
                             check=True).stdout
    assert "./usr/share/x/file" in listing


class TestDownloads:
    """A download step that fails or hangs means the test could not run."""

    def run(self, tmp_path):
        args = type("Args", (), {"work": str(tmp_path / "work"), "cache": None, "keep": False})
        return vmtest.Run(args)

    def test_a_failing_step_names_its_last_words(self, tmp_path):
        with pytest.raises(vmtest.CannotRun, match=r"apt-get update ended with 100: .*E: unreachable"):
            self.run(tmp_path).prepare("apt-get update",
                                        ["sh", "-c", "echo start; echo 'E: unreachable'; exit 100"],
                                        tmp_path / "log", 10)

    def test_a_hanging_step_is_killed_with_its_children(self, tmp_path):
        pidfile = tmp_path / "pid"
        start = time.monotonic()
        with pytest.raises(vmtest.CannotRun, match="took longer than 0.5 s"):
            self.run(tmp_path).prepare("debootstrap",
                                        ["sh", "-c", f"sleep 30 & echo $! > {pidfile}; wait"],
                                        tmp_path / "log", 0.5)
        assert time.monotonic() - start < 10
        child = int(pidfile.read_text())
        for _ in range(50):
            if not Path(f"/proc/{child}").exists() or "Z" in Path(f"/proc/{child}/stat").read_text().split()[2]:
                break
            time.sleep(0.1)
        else:
            pytest.fail("the step's child outlived it")


def test_only_the_files_apt_would_install_go_into_the_image():
    plan = ("NOTE: This is only a simulation!\n"
            "Inst libqt6core6 (6.4.2+dfsg-10 Debian:12.12/stable [amd64])\n"
            "Inst libsystemd0 [252.38-1~deb12u1] (252.39-1~deb12u1 Debian:12.12/stable [amd64])\n"
            "Inst pkexec (122-3 Debian:12.12/stable [amd64])\n"
            "Inst libfoo:amd64 (1:2.0-1 Debian:12.12/stable [amd64])\n"
            "Conf libqt6core6 (6.4.2+dfsg-10 Debian:12.12/stable [amd64])\n")
    assert vmtest.needed_deb("libqt6core6_6.4.2+dfsg-10_amd64.deb", plan)
    assert vmtest.needed_deb("libsystemd0_252.39-1~deb12u1_amd64.deb", plan)
    assert vmtest.needed_deb("libfoo_1%3a2.0-1_amd64.deb", plan)
    # Installed already, another version, or a name that only starts the same.
    assert not vmtest.needed_deb("libsystemd0_252.38-1~deb12u1_amd64.deb", plan)
    assert not vmtest.needed_deb("libc6_2.36-9+deb12u14_amd64.deb", plan)
    assert not vmtest.needed_deb("pkexec-extra_122-3_amd64.deb", plan)
    assert not vmtest.needed_deb("libqt6core6_6.4.2+dfsg-1_amd64.deb", plan)
