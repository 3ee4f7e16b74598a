"""Runs the cross-built unit tests under Wine with a real SMTP server beside
them: python3-aiosmtpd's debugging server, native on 127.0.0.1. The Windows
mailer's test reads its port and the file it prints each message to.

    wine_unit_tests.py WINE UNIT_TESTS_EXE [gtest arguments...]
"""

import os
import socket
import subprocess
import sys
import tempfile
import time


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


def main():
    command = sys.argv[1:]
    with tempfile.TemporaryDirectory() as tmp:
        printed = os.path.join(tmp, "smtp.txt")
        port = free_port()
        with open(printed, "w") as out:
            server = subprocess.Popen(
                [sys.executable, "-u", "-m", "aiosmtpd", "-n", "-c", "aiosmtpd.handlers.Debugging",
                 "-l", f"127.0.0.1:{port}"], stdout=out, stderr=subprocess.STDOUT)
        try:
            if not wait_listening(port, 15):
                print("the SMTP server did not start", file=sys.stderr)
                return 1
            env = dict(os.environ, EBBMARK_TEST_SMTP_PORT=str(port),
                       # Wine's Z: drive is the Linux file system.
                       EBBMARK_TEST_SMTP_OUTPUT="Z:" + printed.replace("/", "\\"))
            return subprocess.run(command, env=env, timeout=850).returncode
        finally:
            server.terminate()
            server.wait(5)


if __name__ == "__main__":
    sys.exit(main())
