"""Shared helpers for the black-box tests: they start the real EbbmarkSvc and
relay-sim on 127.0.0.1 with a temporary settings folder, and read what the
service did from its JSON event mirror, its terminal output, the SMTP server
and the power dry-run file. Every wait is bounded in time."""

import fcntl
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

BIN_DIR = Path(os.environ.get("EBBMARK_BIN_DIR", Path(__file__).resolve().parents[2] / "build" / "default"))
# EBBMARK_SVC_CMD runs another build of the service (the Windows one under Wine).
SVC_CMD = shlex.split(os.environ.get("EBBMARK_SVC_CMD", str(BIN_DIR / "service" / "EbbmarkSvc")))
UNDER_WINE = Path(SVC_CMD[0]).name.startswith("wine")
RELAY_SIM = BIN_DIR / "tools" / "relay-sim" / "relay-sim"

# ---- Bound tests: one retry, alone ----
#
# A test marked `bound` checks a time limit. On a busy machine it can fail
# for want of CPU, not for a fault: it then runs once more, alone, and the
# run says "retry needed: <test>". Alone means no other black-box test runs
# meanwhile, in this run or in another one beside it (the suite runs in
# halves side by side, on Linux and under Wine): every test holds a shared
# lock while it runs, and a retry waits for the exclusive one. A turnstile
# lock keeps new tests from slipping in ahead of a waiting retry.
LOCK_DIR = Path(os.environ.get("EBBMARK_TEST_LOCK_DIR", tempfile.gettempdir()))
LOCK_WAIT = 900  # seconds; longer than any one test
RETRIED = []


def _lock(name, mode):
    """Takes `name` in `mode`, waiting at most LOCK_WAIT seconds; gives the
    open file (None when the wait ran out: the test then goes on anyway)."""
    f = open(LOCK_DIR / name, "a+")
    deadline = time.monotonic() + LOCK_WAIT
    while True:
        try:
            fcntl.flock(f, mode | fcntl.LOCK_NB)
            return f
        except BlockingIOError:
            if time.monotonic() >= deadline:
                f.close()
                return None
            time.sleep(0.1)


class _Held:
    def __init__(self, exclusive):
        self.exclusive = exclusive
        self.files = []

    def __enter__(self):
        gate = _lock("ebbmark-blackbox.turnstile", fcntl.LOCK_EX)
        main = _lock("ebbmark-blackbox.lock", fcntl.LOCK_EX if self.exclusive else fcntl.LOCK_SH)
        if self.exclusive:
            self.files = [main, gate]  # the turnstile stays shut until the retry ends
        else:
            self.files = [main]
            if gate:
                gate.close()
        return self

    def __exit__(self, *exc):
        for f in self.files:
            if f:
                f.close()


def pytest_configure(config):
    config.addinivalue_line("markers", "bound: checks a time limit; one retry, alone, on failure")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    from _pytest.runner import runtestprotocol

    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    with _Held(exclusive=False):
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
    if item.get_closest_marker("bound") and any(r.failed for r in reports):
        RETRIED.append(item.nodeid)
        first = next(r for r in reports if r.failed)
        reporter = item.config.pluginmanager.get_plugin("terminalreporter")
        line = f"retry needed: {item.nodeid}"
        if reporter:
            reporter.write_line("")
            reporter.write_line(line)
        else:
            print(line, flush=True)
        with _Held(exclusive=True):
            reports = runtestprotocol(item, nextitem=nextitem, log=False)
        for r in reports:
            r.sections.append(("first run", str(first.longrepr)))
    for r in reports:
        item.ihook.pytest_runtest_logreport(report=r)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter):
    for nodeid in RETRIED:
        terminalreporter.write_line(f"retry needed: {nodeid}")
SCENARIOS = Path(__file__).resolve().parents[2] / "tools" / "relay-sim" / "scenarios"


def wait_for(predicate, timeout, step=0.05):
    """Polls `predicate` until it is true or `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Output:
    """Collects a child's output lines on a thread, with their arrival times."""

    def __init__(self, stream):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._lock:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\r\n")))

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def text(self):
        return "\n".join(l for _, l in self.snapshot())

    def find(self, pattern, since=0.0):
        for t, line in self.snapshot():
            if t >= since:
                m = re.search(pattern, line)
                if m:
                    return t, m
        return None


class Process:
    def __init__(self, args, env=None, cwd=None):
        self.args = [str(a) for a in args]
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL, env=env, cwd=cwd)
        self.started = time.monotonic()
        self.out = Output(self.proc.stdout)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def ask_to_stop(self):
        """Stops the program as its user would: SIGTERM on Linux, as systemd
        sends; Ctrl+C under Wine. There SIGTERM ends Wine itself, while SIGINT
        reaches the program's console handler as CTRL_C_EVENT, as a Ctrl+C
        typed in its console window does."""
        self.signal(signal.SIGINT if UNDER_WINE else signal.SIGTERM)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            if self.wait(5) is None:
                self.proc.kill()
                self.proc.wait(5)


def native_path(path):
    """The service's name for a file of ours: under Wine, the Z: drive maps the
    whole Linux file system."""
    path = str(path)
    if UNDER_WINE and path.startswith("/"):
        return "Z:" + path.replace("/", "\\")
    return path


# The Windows password files are encrypted for the machine, so a test cannot
# write their bytes: under Wine it has the Windows build write them, with the
# store its programs save through (run_under_wine.sh names the program).
SECRET_WRITER = os.environ.get("EBBMARK_SECRET_WRITER")


def write_secret(path, password):
    """Writes a password file as the configuration program saves it: on Linux
    the bytes, readable by their owner only; under Wine, encrypted for the
    machine in the service's prefix, by the Windows build's own store."""
    path = Path(path)
    if not UNDER_WINE:
        path.unlink(missing_ok=True)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(password)
        return
    assert SECRET_WRITER, "EBBMARK_SECRET_WRITER names no ebbmark_write_secret.exe"
    r = subprocess.run([SVC_CMD[0], SECRET_WRITER, native_path(path)], input=password.encode(),
                       capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr.decode("utf-8", "replace")
    assert path.exists()


def linux_only(reason):
    """Marks a test that needs what only the Linux build has."""
    return pytest.mark.skipif(UNDER_WINE, reason=reason)


class Home:
    """A temporary settings folder with the operator switches pointing into it."""

    def __init__(self, path: Path):
        self.path = path
        self.ini = path / "Ebbmark.ini"
        self.events_file = path / "events.jsonl"
        self.power_file = path / "power.jsonl"

    def write_settings(self, **keys):
        # A test that is not about the NUT server runs without one: the
        # default port is the machine's, and may be taken.
        if not any(k.startswith("NUT") for k in keys):
            keys["NUTListen"] = "off"
        lines = ["[EbbmarkSvc]"] + [f"{k}={v}" for k, v in keys.items()]
        # Replaced whole, as the programs save it: a file emptied and then
        # written could be seen half-way by a service that looks in between.
        part = self.ini.with_name("." + self.ini.name + ".new")
        part.write_text("\n".join(lines) + "\n")
        os.replace(part, self.ini)

    def env(self, **extra):
        env = dict(os.environ)
        for name in ("NOTIFY_SOCKET", "INVOCATION_ID", "LISTEN_FDS"):
            env.pop(name, None)
        env.update(EBBMARK_HOME=native_path(self.path), EBBMARK_EVENT_LOG=native_path(self.events_file),
                   EBBMARK_POWER_DRYRUN=native_path(self.power_file))
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def events(self):
        if not self.events_file.exists():
            return []
        return [json.loads(l) for l in self.events_file.read_text().splitlines() if l.strip()]

    def texts(self, prefix=""):
        return [e["text"] for e in self.events() if e["text"].startswith(prefix)]

    def power_lines(self):
        """The dry-run lines whole, with the service's own time stamp."""
        if not self.power_file.exists():
            return []
        return [json.loads(l) for l in self.power_file.read_text().splitlines() if l.strip()]

    def power(self):
        """The dry-run lines without their time stamp."""
        return [{k: v for k, v in line.items() if k != "time"} for line in self.power_lines()]


class Relay(Process):
    """relay-sim on 127.0.0.1; the TCP port is read from its start line."""

    def __init__(self, *extra, port=0):
        super().__init__([RELAY_SIM, "--host", "127.0.0.1", "--port", port, "--no-udp", *extra])
        found = wait_for(lambda: self.out.find(r"tcp=127\.0\.0\.1:(\d+)"), 10)
        assert found, "relay-sim did not start:\n" + self.out.text()
        self.port = int(found[1].group(1))


@pytest.fixture
def home(tmp_path):
    return Home(tmp_path)


@pytest.fixture
def procs():
    """Starts processes and stops whatever is left at the end of the test."""
    started = []

    class Starter:
        def service(self, home, *args, **env):
            p = Process([*SVC_CMD, *args], env=home.env(**env))
            started.append(p)
            return p

        def relay(self, *extra, port=0):
            r = Relay(*extra, port=port)
            started.append(r)
            return r

    yield Starter()
    for p in reversed(started):
        p.stop()


@pytest.fixture
def smtp():
    """A real SMTP server on 127.0.0.1 that keeps what it receives."""
    from aiosmtpd.controller import Controller

    class Sink:
        def __init__(self):
            self.messages = []

        async def handle_DATA(self, server, session, envelope):
            self.messages.append(envelope)
            return "250 OK"

    sink = Sink()
    port = free_port()
    controller = Controller(sink, hostname="127.0.0.1", port=port)
    controller.start()
    sink.port = port
    yield sink
    controller.stop()
