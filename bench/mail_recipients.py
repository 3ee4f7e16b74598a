#!/usr/bin/python3
"""Time of one notice sent through the mail helper (ebbmark-mail) to three
recipients of which the server refuses one, against the same notice to one
recipient, both against the strict Postfix of the black-box tests, in the
same run. Prints the medians and their ratio.

usage: bench/mail_recipients.py [BUILD_DIR] [ROUNDS]   (as root: Postfix's master needs it)
"""

import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "blackbox"))

from test_mail_postfix import DOMAIN, Postfix, _usable  # noqa: E402

import shutil  # noqa: E402
import tempfile  # noqa: E402


def request(port, recipients):
    head = ["EBBMARK-MAIL 1", f"url smtp://127.0.0.1:{port}", f"from ups@{DOMAIN}"]
    head += [f"to {r}" for r in recipients]
    head += ["connect-timeout-ms 15000", ""]
    body = (f"From: ups@{DOMAIN}\r\nTo: {', '.join(recipients)}\r\nSubject: [Ebbmark] Power Event\r\n"
            "\r\nThe inverter has begun inverting.\r\n")
    return ("\n".join(head) + "\n" + body).encode()


def one(helper, data):
    started = time.perf_counter()
    out = subprocess.run([helper], input=data, capture_output=True, timeout=60)
    took = time.perf_counter() - started
    assert out.returncode == 0, out.stdout
    return took, out.stdout.decode()


def main():
    build = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build" / "default"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    why = _usable()
    if why:
        sys.exit(f"mail_recipients: {why}")
    helper = build / "service" / "ebbmark-mail"
    root = Path(tempfile.mkdtemp(prefix="ebbmark-postfix-bench-"))
    root.chmod(0o755)
    server = Postfix(root)
    try:
        single = request(server.plain, [f"admin@{DOMAIN}"])
        three = request(server.plain, [f"admin@{DOMAIN}", f"former.staff@{DOMAIN}", f"ops@{DOMAIN}"])
        one(helper, single)  # warm-up: the first connection sets up Postfix's processes
        a, b = [], []
        for _ in range(rounds):  # interleaved, so load changes hit both alike
            a.append(one(helper, single)[0])
            took, answer = one(helper, three)
            assert answer.startswith(f"refused former.staff@{DOMAIN} 550"), answer
            b.append(took)
        ma, mb = statistics.median(a), statistics.median(b)
        print(f"rounds {rounds}")
        print(f"one recipient (baseline)          median {ma * 1000:7.1f} ms")
        print(f"three recipients, one refused     median {mb * 1000:7.1f} ms")
        print(f"ratio three/one                   {mb / ma:.2f}")
    finally:
        server.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
