"""A scripted POP3 server on 127.0.0.1 (or the loopback address `host`) for the black-box
tests.

The script is the list of the server's replies in order: the greeting first, then one
reply for each command line the client sends. A reply is either bytes, sent at once, or a
list of pieces sent one after the other, where a piece is bytes or a number of seconds to
pause. None (or the end of the script) is a reply that never comes: from then on the
server only listens. HANG_UP closes the connection instead of replying. The server takes one connection on an ephemeral port and records
every line the client sends, with its line end, in `lines`.

With `tls=` (an ssl server context) the server speaks TLS from the first byte when
`implicit_tls` is true; else START_TLS in the script is the reply "+OK Begin TLS" after
which the handshake runs (STLS). `clear_lines` holds the lines received before TLS,
`tls_version` the negotiated version, `tls_error` why a handshake failed.

    with FakePop3([b"+OK ready\\r\\n", b"+OK\\r\\n", ...]) as server:
        ... run the program against server.port ...
    self.assertEqual(server.lines, [b"USER alice\\r\\n", ...])
"""
import socket
import ssl
import threading
import time

_POLL = 0.1        # seconds between looks at the stop flag
_LIFETIME = 60.0   # the server gives up on its own after this long

HANG_UP = "hang up"
START_TLS = "start tls"


class FakePop3:
    def __init__(self, script, tls=None, implicit_tls=False, host="127.0.0.1"):
        self.script = list(script)
        self.tls = tls
        self.implicit_tls = implicit_tls
        self.clear_lines = None
        self.tls_version = self.tls_error = None
        self.lines = []
        self.connections = 0
        self._stopping = threading.Event()
        self._listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET,
                                       socket.SOCK_STREAM)
        self._listener.bind((host, 0))
        self._listener.listen(1)
        self._listener.settimeout(_POLL)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stopping.set()
        self._thread.join(timeout=10)
        self._listener.close()

    def _serve(self):
        deadline = time.monotonic() + _LIFETIME
        connection = None
        while connection is None:
            if self._stopping.is_set() or time.monotonic() > deadline:
                return
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
        self.connections += 1
        try:
            self._session(connection, deadline)
        finally:
            self._connection.close()

    def _wrap(self, connection):
        """The handshake on the connection; the TLS socket, or None when it failed."""
        self.clear_lines = list(self.lines)
        connection.settimeout(10)
        try:
            wrapped = self.tls.wrap_socket(connection, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.tls_error = str(e)
            return None
        wrapped.settimeout(_POLL)
        self.tls_version = wrapped.version()
        self._connection = wrapped
        return wrapped

    def _session(self, connection, deadline):
        self._connection = connection
        if self.implicit_tls:
            connection = self._wrap(connection)
            if connection is None:
                return
        connection.settimeout(_POLL)
        replies = iter(self.script)
        answering = self._reply(connection, next(replies, None))
        if answering is None:
            return
        pending = b""
        while not self._stopping.is_set() and time.monotonic() < deadline:
            try:
                data = connection.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.append(line + b"\n")
                if answering:
                    reply = next(replies, None)
                    if reply == START_TLS:
                        if pending:
                            self.tls_error = "plain text after STLS: %r" % pending
                            return
                        connection.sendall(b"+OK Begin TLS negotiation\r\n")
                        connection = self._wrap(connection)
                        if connection is None:
                            return
                        continue
                    answering = self._reply(connection, reply)
                    if answering is None:
                        return

    def _reply(self, connection, reply):
        """Sends one reply; False when it is one that never comes, None to hang up."""
        if reply is None:
            return False
        if reply == HANG_UP:
            return None
        pieces = [reply] if isinstance(reply, bytes) else reply
        try:
            for piece in pieces:
                if isinstance(piece, bytes):
                    connection.sendall(piece)
                else:
                    time.sleep(piece)
        except OSError:
            return False
        return True


def closed_port():
    """A loopback port with nothing listening on it (bound once, then released)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port
