"""What the service refuses although it runs as root: a run file or settings
file others can change, special or endless template files, a run file without
its execute bit, addresses that could smuggle commands, and an install of a
program others can change. In each case the rest of the work still gets done."""

import os
import pwd
import shutil
import subprocess

import pytest

from conftest import SVC_CMD, UNDER_WINE, linux_only, native_path, wait_for, write_secret
from test_trigger import DRAIN, mail_settings, messages, run_file, scenario

NOBODY = pwd.getpwnam("nobody") if not UNDER_WINE else None
as_root = pytest.mark.skipif(UNDER_WINE or os.geteuid() != 0,
                             reason="hands files to another user: needs root, and Linux owners")


def armed(home, relay, smtp=None, **keys):
    """Settings that reach the trigger at once and shut down (dry run)."""
    settings = dict(TCPHost="127.0.0.1", TCPPort=relay.port, SDSOC=70, SOCOII=0, ShutdownType=1,
                    Force=1, ExecuteDelay=5)
    if smtp is not None:
        settings.update(EmailOptions=2, **mail_settings(smtp))
    settings.update(keys)
    home.write_settings(**settings)


def give_to_nobody(path):
    os.chown(path, NOBODY.pw_uid, NOBODY.pw_gid)


def let_nobody_write(path):
    """Root still owns it and no mode bit changes: an ACL entry alone lets nobody in."""
    subprocess.run(["setfacl", "-m", "u:nobody:rwx", str(path)], check=True)


@as_root
@pytest.mark.parametrize("untrusted,how", [("settings file", give_to_nobody),
                                           ("run file", give_to_nobody),
                                           ("run file's folder", give_to_nobody),
                                           ("run file", let_nobody_write),
                                           ("run file's folder", let_nobody_write)])
def test_a_file_others_can_change_is_not_run_but_the_computer_still_shuts_down(home, procs,
                                                                             untrusted, how):
    script, marker = run_file(home)
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, ExecuteFile=script)
    changed = {"settings file": home.ini, "run file": script,
               "run file's folder": os.path.dirname(script)}[untrusted]
    how(changed)

    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert not marker.exists(), "the run file must not run"
    refused = [e for e in home.events() if e["text"].startswith("The run file ")]
    assert len(refused) == 1, home.events()
    assert (refused[0]["type"], refused[0]["id"]) == (1, 109)
    assert refused[0]["text"] == (f"The run file {script} was not started: {changed} can be "
                                  f"written by user nobody (uid {NOBODY.pw_uid}).")
    assert home.power() == [{"action": "shutdown", "force": True}]


@linux_only("FIFOs and /dev/zero are POSIX files")
@pytest.mark.parametrize("kind", ["fifo", "dev-zero link", "oversized"])
def test_a_template_that_is_no_sane_file_gives_the_built_in_body(home, procs, smtp, kind):
    template = home.path / "action.msg"
    if kind == "fifo":
        os.mkfifo(template)
    elif kind == "dev-zero link":
        template.symlink_to("/dev/zero")
    else:
        template.write_text("x" * (64 * 1024 + 1))
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, smtp)

    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    mails = messages(smtp)
    assert [m[0] for m in mails] == ["[Ebbmark] Shutdown Event"]
    assert mails[0][1].startswith("The action (shutdown) on computer ")
    warnings = [e for e in home.events() if e["type"] == 2 and str(template) in e["text"]]
    assert len(warnings) == 1, home.events()
    assert home.power() == [{"action": "shutdown", "force": True}]


@linux_only("a FIFO is a POSIX file")
def test_a_fifo_settings_file_does_not_stall_the_start(home, procs):
    os.mkfifo(home.ini)
    svc = procs.service(home, "debug")
    # Unreadable settings are all defaults: no relay host, so the link is never
    # up, but the program runs and answers its stop request.
    assert wait_for(lambda: "Host:" in svc.out.text(), 15), svc.out.text()
    svc.stop()
    assert svc.proc.returncode == 0, svc.out.text()


@linux_only("documents without an execute bit open with their program on Windows")
def test_a_run_file_without_its_execute_bit_is_named_so(home, procs):
    script, marker = run_file(home)
    os.chmod(script, 0o644)
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, ExecuteFile=script)
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert not marker.exists()
    refused = [e for e in home.events() if e["text"].startswith("The run file ")]
    assert [(e["type"], e["id"]) for e in refused] == [(1, 109)], home.events()
    assert home.texts("The run file ") == [f"The run file {script} is not executable."]
    assert home.power() == [{"action": "shutdown", "force": True}]


@pytest.mark.parametrize("setting,value", [
    ("SMTPFrom", "ups\x1b@localhost"),
    ("SMTPFrom", "UPS <ups@localhost> NOTIFY=NEVER"),
    ("SMTPTo", "admin@localhost NOTIFY=NEVER"),
])
def test_an_unusable_address_sends_no_mail_and_says_which_setting(home, procs, smtp, setting,
                                                                  value):
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, smtp, **{setting: value})
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert smtp.messages == []
    warnings = [e for e in home.events() if "email address" in e["text"]]
    assert [(e["type"], e["text"]) for e in warnings] == [
        (2, f"The {setting} setting does not hold a usable email address. No email is sent until "
            "it is corrected.")]
    assert home.power() == [{"action": "shutdown", "force": True}]


def test_an_unusable_recipient_costs_only_itself(home, procs, smtp):
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, smtp, SMTPTo="admin@localhost, other\x7f@localhost")
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert smtp.messages, "the usable recipient still gets the notices"
    assert all(m.rcpt_tos == ["admin@localhost"] for m in smtp.messages), \
        [m.rcpt_tos for m in smtp.messages]
    warnings = [e for e in home.events() if "email address" in e["text"]]
    assert [(e["type"], e["text"]) for e in warnings] == [
        (2, 'The SMTPTo setting does not hold a usable email address in "other\x7f@localhost". '
            "The other recipients still get the notices.")]
    assert home.power() == [{"action": "shutdown", "force": True}]


def test_a_password_file_others_can_read_is_not_used(home, procs, smtp):
    secret = home.path / "smtp.secret"
    write_secret(secret, "s3cret")
    # Wine shows a file's Unix mode as its access list: readable by everyone.
    secret.chmod(0o644)
    relay = procs.relay("--scenario", scenario(home, DRAIN))
    armed(home, relay, smtp, SMTPUser="alerts@example.test")
    svc = procs.service(home, "debug")
    assert svc.wait(40) == 0, svc.out.text()
    assert smtp.messages == [], "no sign-in, and no mail"
    refusals = [e for e in home.events() if "is not used" in e["text"]]
    assert refusals, [e["text"] for e in home.events()]
    name = native_path(secret)
    # The mend in the system's own terms: chmod means nothing on Windows.
    remedy = ("save the password again in the Ebbmark window" if UNDER_WINE
              else f"chmod 600 {name}")
    assert all(f"the password file {name} is not used, since " in e["text"] and
               f"can read it; make it readable by its owner only ({remedy})" in e["text"]
               for e in refusals), [e["text"] for e in refusals]
    assert not any("s3cret" in e["text"] for e in home.events())
    assert home.power() == [{"action": "shutdown", "force": True}], "the rest still happens"


@as_root
def test_install_refuses_a_program_others_can_change(tmp_path):
    folder = tmp_path / "bin"
    folder.mkdir()
    program = folder / "EbbmarkSvc"
    shutil.copy2(SVC_CMD[0], program)
    give_to_nobody(folder)
    env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
    env["EBBMARK_HOME"] = str(tmp_path)
    env["EBBMARK_EVENT_LOG"] = str(tmp_path / "events.jsonl")
    done = subprocess.run([str(program), "install"], env=env, capture_output=True, text=True,
                          timeout=30, stdin=subprocess.DEVNULL)
    assert done.returncode != 0
    expected = (f"Ebbmark was not installed as a service: {folder} can be written by user nobody "
                f"(uid {NOBODY.pw_uid}).")
    assert expected in done.stdout + done.stderr
    assert expected in (tmp_path / "events.jsonl").read_text()
