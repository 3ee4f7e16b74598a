"""Notices against a real, strict Postfix from Debian, started here on
127.0.0.1 with everything in a temporary folder: 8-bit header bytes are
refused (strict_7bit_headers), a greeting name that is not fully qualified is
refused, one address of the domain is unknown, and a body rule refuses a
marked message at the end of DATA. A fifth listener takes mail only after
a sign-in (Cyrus SASL, a sasldb of the temporary folder) over STARTTLS, with
the same strict rules. Deliveries land in Maildir folders of the
temporary folder; nothing is left running afterwards."""

import email
import email.policy
import os
import pwd
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import free_port, wait_for, write_secret
from test_trigger import scenario

POSTFIX = shutil.which("postfix") or "/usr/sbin/postfix"
DOMAIN = "example.test"
KNOWN = ("admin", "ops", "jörg")
REFUSE_MARK = "REFUSE-THIS-NOTICE"
SASL_USER = f"alerts@{DOMAIN}"
SASL_PASSWORD = "c0rrect h0rse"

# The mains fail at 2 s and stay off: the mains-failure notice goes out, and
# no trigger follows.
MAINS_FAIL = """inverters 0
fndc a
at 0 inverter all mains on current 0 ac 120 battery 26.4
at 0 fndc soc 90 temp 25
at 2 inverter all mains off
at 2 inverter 0 current 12 ac 0
"""


def _usable():
    if os.geteuid() != 0:
        return "Postfix's master runs as root"
    if not os.path.exists(POSTFIX):
        return "postfix is not installed (scripts/setup installs it)"
    if not shutil.which("saslpasswd2"):
        return "saslpasswd2 is not installed (scripts/setup installs sasl2-bin)"
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        return "no postfix account"
    return None


pytestmark = pytest.mark.skipif(_usable() is not None, reason=str(_usable()))


class Postfix:
    """One Postfix instance with five listeners: `plain` (strict, SMTPUTF8
    offered, no TLS), `ascii` (the same without SMTPUTF8), `tls` (TLS from
    the first byte, a certificate made here), `utf8` (SMTPUTF8 mail taken
    whole) and `submit` (STARTTLS, then a sign-in before any recipient)."""

    def __init__(self, root: Path):
        self.root = root
        self.etc = root / "etc"
        self.mail = root / "mail"
        self.log = root / "maillog"
        for d in (self.etc, root / "queue", root / "data", self.mail):
            d.mkdir(parents=True)
        shutil.chown(root / "data", "postfix")
        nobody = pwd.getpwnam("nobody")
        os.chown(self.mail, nobody.pw_uid, nobody.pw_gid)
        self.plain, self.ascii, self.tls, self.utf8, self.submit = (free_port() for _ in range(5))
        key, cert = self.etc / "key.pem", self.etc / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=mail.example.test", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=60)
        (self.etc / "vmailbox").write_text(
            "".join(f"{u}@{DOMAIN} {DOMAIN}/{u}/\n" for u in KNOWN), encoding="utf-8")
        # The sign-in's accounts: Postfix's smtpd (running as postfix, not
        # chrooted) reads the database that sasl/smtpd.conf names. Debian's
        # Postfix looks for that file in the configuration folder's sasl/,
        # whatever cyrus_sasl_config_path says; the setting stays for others.
        sasl = self.etc / "sasl"
        sasl.mkdir()
        accounts = root / "accounts"
        accounts.mkdir()
        sasldb = accounts / "sasldb2"
        subprocess.run(["saslpasswd2", "-p", "-c", "-f", sasldb, "-u", DOMAIN,
                        SASL_USER.split("@")[0]], input=SASL_PASSWORD.encode(), check=True,
                       capture_output=True, timeout=60)
        shutil.chown(sasldb, "postfix")
        sasldb.chmod(0o600)
        (sasl / "smtpd.conf").write_text(
            f"pwcheck_method: auxprop\nauxprop_plugin: sasldb\nsasldb_path: {sasldb}\n"
            "mech_list: PLAIN LOGIN\n")
        (self.etc / "body_checks").write_text(
            f"/{REFUSE_MARK}/ REJECT 5.7.1 this notice is refused by the test's body rule\n")
        (self.etc / "main.cf").write_text(f"""compatibility_level = 3.6
config_directory = {self.etc}
queue_directory = {root}/queue
data_directory = {root}/data
daemon_directory = /usr/lib/postfix/sbin
command_directory = /usr/sbin
shlib_directory = /usr/lib/postfix
meta_directory = /etc/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.{DOMAIN}
mydomain = {DOMAIN}
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
syslog_name = postfix-ebbmark-test
maillog_file_prefixes = {root}
maillog_file = {self.log}
alias_maps =
alias_database =
biff = no
virtual_mailbox_domains = {DOMAIN}
virtual_mailbox_base = {self.mail}
virtual_mailbox_maps = texthash:{self.etc}/vmailbox
virtual_uid_maps = static:{nobody.pw_uid}
virtual_gid_maps = static:{nobody.pw_gid}
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_non_fqdn_helo_hostname
strict_7bit_headers = yes
smtputf8_enable = yes
body_checks = regexp:{self.etc}/body_checks
smtpd_tls_cert_file = {cert}
smtpd_tls_key_file = {key}
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = {self.etc}/sasl
""")
        services = """pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
relay unix - - n - - smtp
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
tlsmgr unix - - n 1000? 1 tlsmgr
cleanup-8bit unix n - n - 0 cleanup -o strict_7bit_headers=no
"""
        (self.etc / "master.cf").write_text(
            f"127.0.0.1:{self.plain} inet n - n - - smtpd\n"
            f"127.0.0.1:{self.ascii} inet n - n - - smtpd -o smtputf8_enable=no\n"
            f"127.0.0.1:{self.tls} inet n - n - - smtpd -o smtpd_tls_wrappermode=yes"
            " -o smtpd_tls_security_level=encrypt\n"
            # Postfix writes the recipient into its own Received header, which
            # strict_7bit_headers then refuses even under SMTPUTF8.
            f"127.0.0.1:{self.utf8} inet n - n - - smtpd -o cleanup_service_name=cleanup-8bit\n"
            # The user signs in as alerts@example.test: Cyrus takes the part
            # after @ as the realm the account was made in.
            f"127.0.0.1:{self.submit} inet n - n - - smtpd -o smtpd_tls_security_level=encrypt"
            " -o smtpd_sasl_auth_enable=yes -o smtpd_tls_auth_only=yes"
            " -o smtpd_client_restrictions=permit_sasl_authenticated,reject\n"
            + services)
        self._postfix("start")
        up = wait_for(lambda: all(self._accepts(p) for p in (self.plain, self.ascii, self.tls, self.utf8,
                                                         self.submit)), 20,
                      step=0.2)
        if not up:
            self.stop()
            raise AssertionError("Postfix did not start:\n" + self.log_text())

    def _postfix(self, command):
        return subprocess.run([POSTFIX, "-c", str(self.etc), command], capture_output=True,
                              timeout=60)

    @staticmethod
    def _accepts(port):
        import socket
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        self._postfix("stop")
        pid_file = self.root / "queue" / "pid" / "master.pid"

        def master_gone():
            try:
                pid = int(pid_file.read_text().split()[0])
                os.kill(pid, 0)
                return False
            except (OSError, ValueError, IndexError):
                return True

        if not wait_for(master_gone, 20, step=0.2):
            # Only our own instance's master, by the id it wrote.
            subprocess.run([POSTFIX, "-c", str(self.etc), "abort"], capture_output=True, timeout=60)

    def log_text(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def delivered(self, user):
        """The messages delivered to `user`, as bytes."""
        new = self.mail / DOMAIN / user / "new"
        return [f.read_bytes() for f in sorted(new.iterdir())] if new.exists() else []


@pytest.fixture
def postfix():
    # Postfix's own account must reach its folders, so they live in a folder
    # of their own rather than below pytest's private one.
    root = Path(tempfile.mkdtemp(prefix="ebbmark-postfix-"))
    root.chmod(0o755)
    try:
        server = Postfix(root)
        yield server
        server.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def send_notice(home, procs, port, wait, **mail):
    """Runs the service through a mains failure, so that it sends the
    mains-failure notice, until `wait` holds; then stops it."""
    relay = procs.relay("--scenario", scenario(home, MAINS_FAIL))
    settings = dict(TCPHost="127.0.0.1", TCPPort=relay.port, EmailOptions=1, EmailDelay=0,
                    SMTPHost="127.0.0.1", SMTPPort=port, SMTPFrom=f"ups@{DOMAIN}")
    settings.update(mail)
    home.write_settings(**settings)
    svc = procs.service(home, "debug")
    done = wait_for(wait, 60, step=0.2)
    svc.stop()
    return done, svc


def records(home, text):
    return [t for t in home.texts() if text in t]


def test_a_refused_recipient_costs_only_itself(home, procs, postfix):
    to = f"admin@{DOMAIN}, former.staff@{DOMAIN}, ops@{DOMAIN}"
    done, svc = send_notice(
        home, procs, postfix.plain,
        lambda: len(postfix.delivered("admin")) == 1 and len(postfix.delivered("ops")) == 1
        and records(home, "former.staff"), SMTPTo=to)
    assert done, home.texts() + [postfix.log_text()]
    refused = records(home, "former.staff")
    assert len(refused) == 1, refused
    assert refused[0].startswith('The email "[Ebbmark] Power Event" (the mains-failure notice) was '
                                 f"not sent to former.staff@{DOMAIN}: the server refused the "
                                 f"recipient former.staff@{DOMAIN}: 550 5.1.1 "), refused
    assert "User unknown" in refused[0] and not refused[0].endswith(".."), refused
    assert [e["type"] for e in home.events() if "former.staff" in e["text"]] == [2]
    assert records(home, "could not be sent") == []


def test_an_unreadable_entry_is_named_and_the_others_still_get_the_notice(home, procs, postfix):
    done, svc = send_notice(home, procs, postfix.plain,
                            lambda: len(postfix.delivered("admin")) == 1,
                            SMTPTo=f"Doe, John <admin@{DOMAIN}>")
    assert done, home.texts()
    assert records(home, 'The SMTPTo setting does not hold a usable email address in "Doe".')


def test_display_names_outside_ascii_pass_a_strict_server_and_parse_cleanly(home, procs, postfix):
    done, svc = send_notice(home, procs, postfix.plain,
                            lambda: len(postfix.delivered("admin")) == 1,
                            SMTPFrom=f"Ébbmark Wächter <ups@{DOMAIN}>",
                            SMTPTo=f"Jörg Ünal <admin@{DOMAIN}>, \"Doe, Jane\" <ops@{DOMAIN}>")
    assert done, home.texts() + [postfix.log_text()]
    assert len(postfix.delivered("ops")) == 1
    raw = postfix.delivered("admin")[0]
    head = raw.split(b"\n\n", 1)[0]
    assert all(b < 0x80 for b in head), head
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    assert not msg.defects
    for name in ("From", "To", "Subject"):
        assert not msg[name].defects, (name, msg[name].defects)
    assert msg["From"].addresses[0].display_name == "Ébbmark Wächter"
    assert [a.display_name for a in msg["To"].addresses] == ["Jörg Ünal", "Doe, Jane"]
    assert msg["Subject"] == "[Ebbmark] Power Event"
    # The greeting passed reject_non_fqdn_helo_hostname, or nothing would
    # have been delivered; it never holds a bare computer name.
    assert "Helo command rejected" not in postfix.log_text()


def test_an_address_outside_ascii_goes_with_smtputf8_when_offered(home, procs, postfix):
    done, svc = send_notice(home, procs, postfix.utf8,
                            lambda: len(postfix.delivered("jörg")) == 1,
                            SMTPTo=f"jörg@{DOMAIN}")
    assert done, home.texts() + [postfix.log_text()]


FAILURES = [
    # (name, listener, settings, the record's reason)
    ("refused message", "plain", dict(SMTPTo=f"admin@{DOMAIN}"),
     "the server refused the message: 550 5.7.1 "),
    ("refused only recipient", "plain", dict(SMTPTo=f"former.staff@{DOMAIN}"),
     f"the server refused the recipient former.staff@{DOMAIN}: 550 5.1.1 "),
    ("TLS against a plain port", "plain", dict(SMTPTo=f"admin@{DOMAIN}", SMTPSecurity=2),
     "the server does not speak TLS on this port; try SMTPSecurity 1."),
    ("STARTTLS against a TLS port", "tls", dict(SMTPTo=f"admin@{DOMAIN}", SMTPSecurity=1),
     "the server expects TLS from the first byte on this port; try SMTPSecurity 2."),
    ("no STARTTLS offered", "plain", dict(SMTPTo=f"admin@{DOMAIN}", SMTPSecurity=1),
     "the server offers no encryption"),
    ("no SMTPUTF8 offered", "ascii", dict(SMTPTo=f"jörg@{DOMAIN}"),
     "the server does not offer SMTPUTF8"),
]


FAILED = 'The email "[Ebbmark] Power Event" (the mains-failure notice) could not be sent: '


def one_failure(home, svc, done, reason, postfix):
    """The notice failed once, for `reason`, in one sentence, and nothing was delivered."""
    assert done, home.texts() + [svc.out.text()]
    failed = records(home, FAILED)
    assert len(failed) == 1, failed
    assert reason in failed[0], failed
    assert failed[0].endswith(".") and not failed[0].endswith(".."), failed
    assert postfix.delivered("admin") == []


@pytest.mark.parametrize("name,listener,mail,reason", FAILURES, ids=[f[0] for f in FAILURES])
def test_each_failure_names_its_cause(home, procs, postfix, name, listener, mail, reason):
    if name == "refused message":
        (home.path / "invstart.msg").write_text(f"The mains failed on %host%.\n{REFUSE_MARK}\n")
    done, svc = send_notice(home, procs, getattr(postfix, listener), lambda: records(home, FAILED),
                            **mail)
    one_failure(home, svc, done, reason, postfix)


def signed_in(home, password, **mail):
    write_secret(home.path / "smtp.secret", password)
    return dict(SMTPTo=f"admin@{DOMAIN}", SMTPUser=SASL_USER, **mail)


def test_a_sign_in_the_server_requires_delivers_the_notice(home, procs, postfix):
    # SMTPSecurity 0 with a user name still insists on STARTTLS (the server
    # refuses AUTH before it); the certificate is not checked, as promised.
    done, svc = send_notice(home, procs, postfix.submit,
                            lambda: len(postfix.delivered("admin")) == 1,
                            **signed_in(home, SASL_PASSWORD, SMTPSecurity=0))
    assert done, home.texts() + [postfix.log_text()]
    assert f"sasl_username={SASL_USER}" in postfix.log_text()
    assert records(home, "could not be sent") == []


SIGN_IN_FAILURES = [
    # (name, settings, the record's reason)
    ("wrong password", dict(password="wr0ng", SMTPSecurity=0),
     "the user name or password was refused"),
    # The test's own certificate is in no trust store the service reads.
    ("certificate checked", dict(password=SASL_PASSWORD, SMTPSecurity=1),
     "the server's certificate is not trusted"),
]


@pytest.mark.parametrize("name,mail,reason", SIGN_IN_FAILURES, ids=[f[0] for f in SIGN_IN_FAILURES])
def test_each_sign_in_failure_names_its_cause(home, procs, postfix, name, mail, reason):
    mail = dict(mail)
    done, svc = send_notice(home, procs, postfix.submit, lambda: records(home, FAILED),
                            **signed_in(home, mail.pop("password"), **mail))
    one_failure(home, svc, done, reason, postfix)
    assert not any(SASL_PASSWORD in t or "wr0ng" in t for t in home.texts())
    if name == "certificate checked":
        # The handshake ended the session: no password went to a server
        # whose certificate failed the check.
        assert "sasl_username" not in postfix.log_text(), postfix.log_text()
