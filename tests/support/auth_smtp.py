#!/usr/bin/python3
"""An SMTP server for the mail tests, on 127.0.0.1: STARTTLS or TLS from the
first byte with a certificate the test made, and AUTH PLAIN/LOGIN checked
against one user and password. It prints one line per event, flushed:

    ready
    auth USER ok|refused tls=0|1
    message tls=0|1 FROM -> TO[,TO...]

Modes: starttls (TLS offered, AUTH only after it), implicit (TLS from the
first byte), plain-auth (no TLS at all, yet AUTH offered in plain text), and
auth-before-tls (STARTTLS offered, AUTH offered before it as well).
"""

import argparse
import signal
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def encrypted(server, session):
    if session.ssl is not None:
        return True
    transport = getattr(server, "transport", None)
    return transport is not None and transport.get_extra_info("ssl_object") is not None


class Handler:
    def __init__(self):
        self.server = None

    async def handle_DATA(self, server, session, envelope):
        tls = int(encrypted(server, session))
        say("message tls=%d %s -> %s" % (tls, envelope.mail_from, ",".join(envelope.rcpt_tos)))
        return "250 OK"


class LongLineSMTP(SMTP):
    # An AUTH answer may be 12288 bytes long; a 1024-byte password in base64
    # does not fit aiosmtpd's default of 1001.
    line_length_limit = 12288


class LongLineController(Controller):
    def factory(self):
        return LongLineSMTP(self.handler, **self.SMTP_kwargs)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--mode", required=True,
                   choices=["starttls", "implicit", "plain-auth", "auth-before-tls"])
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--user", default="alerts@example.test")
    p.add_argument("--password-file", required=True)
    p.add_argument("--login-only", action="store_true",
                   help="offer AUTH LOGIN alone, as some older servers do")
    p.add_argument("--lifetime", type=float, default=120,
                   help="seconds after which the server ends by itself")
    a = p.parse_args()
    with open(a.password_file, "rb") as f:
        password = f.read()
    user = a.user.encode()

    def check(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == user and auth_data.password == password
        say("auth %s %s tls=%d" % (auth_data.login.decode(errors="replace"),
                                   "ok" if ok else "refused", int(encrypted(server, session))))
        return AuthResult(success=ok, handled=False)

    context = None
    if a.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.cert, a.key)

    kwargs = dict(hostname="127.0.0.1", port=a.port, authenticator=check,
                  auth_exclude_mechanism=["CRAM-MD5"] + (["PLAIN"] if a.login_only else []))
    if a.mode == "starttls":
        kwargs.update(tls_context=context, auth_require_tls=True)
    elif a.mode == "auth-before-tls":
        kwargs.update(tls_context=context, auth_require_tls=False)
    elif a.mode == "implicit":
        kwargs.update(ssl_context=context, auth_require_tls=False)
    else:
        kwargs.update(auth_require_tls=False)
    controller = LongLineController(Handler(), **kwargs)
    controller.start()
    say("ready")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait(a.lifetime)  # a test that forgets the server does not leave it behind
    controller.stop()


if __name__ == "__main__":
    main()
