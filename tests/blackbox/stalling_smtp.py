"""SMTP servers on 127.0.0.1 that misbehave in the ways that must never hold
up a shutdown: one that never greets, one that takes the whole message and
never confirms it, one that answers a byte a second, and one that confirms
each message only after a delay. Every connection ends by itself within two
minutes, and stop() ends them all."""

import socket
import socketserver
import threading
import time

MODES = ("silent", "after-dot", "trickle", "slow")
LIFETIME = 120  # seconds a connection may live at most


class StallingSmtp:
    def __init__(self, mode, delay=4.0, stall_only=None):
        """With `stall_only`, only messages holding those bytes stall; the
        others are confirmed at once."""
        assert mode in MODES, mode
        self.mode = mode
        self.delay = delay
        self.stall_only = stall_only
        self.messages = []  # whole messages confirmed with 250
        self.connections = 0
        self.stalled = 0  # whole messages held unconfirmed
        self._stop = threading.Event()
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.connections += 1
                try:
                    outer._serve(self.request)
                except OSError:
                    pass  # the client gave up on us: that is the point

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._server = Server(("127.0.0.1", 0), Handler)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()

    def _alive(self, started):
        return not self._stop.is_set() and time.monotonic() - started < LIFETIME

    def _say(self, sock, text, started):
        data = text.encode()
        if self.mode != "trickle":
            sock.sendall(data)
            return
        for i in range(len(data)):
            if not self._alive(started):
                return
            sock.sendall(data[i:i + 1])
            self._stop.wait(1.0)

    def _idle(self, started):
        while self._alive(started):
            self._stop.wait(0.1)

    def _serve(self, sock):
        started = time.monotonic()
        sock.settimeout(0.2)
        if self.mode == "silent":
            return self._idle(started)
        self._say(sock, "220 stall.test ESMTP\r\n", started)
        buffer = b""
        in_data = False
        while self._alive(started):
            try:
                chunk = sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            buffer += chunk
            if in_data:
                end = buffer.find(b"\r\n.\r\n")
                if end < 0:
                    continue
                message, buffer = buffer[:end + 2], buffer[end + 5:]
                in_data = False
                if self.stall_only is not None and self.stall_only not in message:
                    self.messages.append(message)
                    self._say(sock, "250 queued\r\n", started)
                    continue
                if self.mode == "after-dot":
                    self.stalled += 1
                    return self._idle(started)
                if self.mode == "slow":
                    self._stop.wait(self.delay)
                self.messages.append(message)
                self._say(sock, "250 queued\r\n", started)
                continue
            while b"\r\n" in buffer and not in_data:
                line, buffer = buffer.split(b"\r\n", 1)
                verb = line[:4].upper()
                if verb == b"DATA":
                    in_data = True
                    self._say(sock, "354 go ahead\r\n", started)
                elif verb == b"QUIT":
                    self._say(sock, "221 bye\r\n", started)
                    return
                else:
                    self._say(sock, "250 ok\r\n", started)
