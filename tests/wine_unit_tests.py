"""Runs the cross-built unit tests under Wine with real SMTP servers beside
them, native on 127.0.0.1: python3-aiosmtpd's debugging server for plain
mail, and tests/support/auth_smtp.py with certificates made here for
encryption and sign-in. The Windows mailer's tests read their ports and the
files the servers print to from the environment.

    wine_unit_tests.py WINE UNIT_TESTS_EXE [gtest arguments...]
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Debian's own python, which python3-aiosmtpd belongs to.
SYSTEM_PYTHON = "/usr/bin/python3"
# auth_smtp.py modes, and the environment names the tests know them by.
AUTH_SERVERS = [
    ("STARTTLS", "starttls", "server"),
    ("IMPLICIT", "implicit", "server"),
    ("PLAIN_AUTH", "plain-auth", None),
    ("AUTH_BEFORE_TLS", "auth-before-tls", "server"),
    ("UNTRUSTED", "starttls", "untrusted"),
    ("LOGIN_ONLY", "starttls", "server"),
]


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def wine_path(path):
    # Wine's Z: drive is the Linux file system.
    return "Z:" + path.replace("/", "\\")


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def make_certificates(tmp):
    """A CA and a server certificate it signed for 127.0.0.1 and localhost,
    and a self-signed one for another name that nothing trusts. RSA, which
    every version of Wine's certificate code can check."""
    j = lambda name: os.path.join(tmp, name)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Ebbmark Test CA", "-keyout", j("ca.key"), "-out", j("ca.pem"),
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    with open(j("server.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
            "-keyout", j("server.key"), "-out", j("server.csr"))
    openssl("x509", "-req", "-in", j("server.csr"), "-CA", j("ca.pem"), "-CAkey", j("ca.key"),
            "-CAcreateserial", "-days", "2", "-extfile", j("server.ext"), "-out", j("server.pem"))
    # Issued to another name, so that trusting it still fails the name check.
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=other.example.test", "-addext", "subjectAltName=DNS:other.example.test",
            "-keyout", j("untrusted.key"), "-out", j("untrusted.pem"))


def long_password():
    """1024 bytes: blanks, SASL's own separators, quotes and every byte above
    ASCII; never CR, LF or NUL."""
    head = b' p@ss:w0rd=with "quotes" and \\backslash '
    body = bytes(range(0x80, 0x100)) * 8
    return (head + body)[:1024]


def start_auth_servers(tmp, env):
    """Starts auth_smtp.py in each mode; returns the processes. Without
    openssl or aiosmtpd for the system python the sign-in tests skip."""
    if shutil.which("openssl") is None or subprocess.run(
            [SYSTEM_PYTHON, "-c", "import aiosmtpd"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL).returncode != 0:
        return []
    try:
        make_certificates(tmp)
    except (subprocess.SubprocessError, OSError):
        return []
    password_file = os.path.join(tmp, "password")
    with open(password_file, "wb") as f:
        f.write(long_password())
    servers, ready = [], []
    for name, mode, cert in AUTH_SERVERS:
        port = free_port()
        output = os.path.join(tmp, "auth-%s.txt" % name.lower())
        command = [SYSTEM_PYTHON, "-u", os.path.join(HERE, "support", "auth_smtp.py"),
                   "--port", str(port), "--mode", mode, "--password-file", password_file,
                   "--lifetime", "900"]
        if name == "LOGIN_ONLY":
            command.append("--login-only")
        if cert:
            command += ["--cert", os.path.join(tmp, cert + ".pem"),
                        "--key", os.path.join(tmp, cert + ".key")]
        with open(output, "w") as out, open(output + ".err", "w") as err:
            servers.append(subprocess.Popen(command, stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL))
        ready.append((name, port, output))
    for name, port, output in ready:
        if not wait_listening(port, 15):
            print("the %s SMTP server did not start" % name, file=sys.stderr)
            continue
        env["EBBMARK_TEST_AUTH_%s_PORT" % name] = str(port)
        env["EBBMARK_TEST_AUTH_%s_OUTPUT" % name] = wine_path(output)
    env["EBBMARK_TEST_TLS_CA"] = wine_path(os.path.join(tmp, "ca.pem"))
    env["EBBMARK_TEST_TLS_UNTRUSTED"] = wine_path(os.path.join(tmp, "untrusted.pem"))
    env["EBBMARK_TEST_AUTH_PASSWORD_FILE"] = wine_path(password_file)
    return servers


def stop(servers):
    for server in servers:
        server.terminate()
    for server in servers:
        try:
            server.wait(5)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(5)


def main():
    command = sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        printed = os.path.join(tmp, "smtp.txt")
        port = free_port()
        with open(printed, "w") as out:
            server = subprocess.Popen(
                [sys.executable, "-u", "-m", "aiosmtpd", "-n", "-c", "aiosmtpd.handlers.Debugging",
                 "-l", f"127.0.0.1:{port}"], stdout=out, stderr=subprocess.STDOUT)
        servers = [server]
        try:
            if not wait_listening(port, 15):
                print("the SMTP server did not start", file=sys.stderr)
                return 1
            env = dict(os.environ, EBBMARK_TEST_SMTP_PORT=str(port),
                       EBBMARK_TEST_SMTP_OUTPUT=wine_path(printed))
            servers += start_auth_servers(tmp, env)
            return subprocess.run(command, env=env, timeout=850).returncode
        finally:
            stop(servers)


if __name__ == "__main__":
    sys.exit(main())
