"""A scripted SMTP server on loopback for the delivery tests, and what those tests share.

The server listens on 127.0.0.1 (or the loopback address given as `host`) on an ephemeral
port and runs in a thread of the test process. It serves one connection by a script, a transcript of the server's side:

    script = [
        greet("220 fake ESMTP\r\n"),
        on("EHLO", "250-fake\r\n", "250 OK\r\n"),   # two sends, with a pause between
        on("MAIL", "250 ok\r\n"),
        on("RCPT", "250 ok\r\n"),
        on("DATA", "354 go ahead\r\n"),
        message("250 queued\r\n"),                   # reads up to CR LF . CR LF
        on("QUIT", "221 bye\r\n"),
    ]

Each reply may be split into several pieces, sent one by one with a pause between them so
that the client receives them in separate reads; CLOSE as a piece closes the connection
at that point, and silence(seconds) as a piece keeps the server silent that long. Every byte the client sends is recorded in order (`received`), and the
commands one by one (`commands`, with the message data as one item). How they arrived is
kept too: `arrivals()` groups the commands that came in one receive, as a client that
pipelines (RFC 2920) sends them. on_all() reads several commands before it answers them
all at once, as a pipelining server may.

With `tls=` (an ssl server context) the server speaks TLS: from the first byte when
`implicit_tls` is true, else where the script has `start_tls()` (after the reply to
STARTTLS). What the client sent before that is kept in `clear_received`; the negotiated
`tls_version`, `tls_cipher` and the client's `sni` are recorded, `tls_error` says why a
handshake failed, and `close_notify` tells whether the client ended TLS cleanly.

The server also knows the two bearer-token mechanisms, XOAUTH2 and OAUTHBEARER, as a real
one answers them (`bearer_auth`): it takes the initial response or asks for the response
with an empty 334, accepts the one token it knows with 235, and refuses any other with the
334 JSON error challenge, waits for the client's answer to it (an empty line, or "AQ==",
the Base64 of 0x01), then sends 535. The decoded client responses are in `bearer`.

The second half of the file holds the helpers of the delivery tests: a base class that
runs the program against a script, the oracle for the ISO-2022-JP conversion of Shift_JIS
text, and the Base64 layout of attachment parts.
"""
import base64
import bisect
import re
import select
import socket
import ssl
import threading
import time

from harness import ProgramTest, WINDOWS, console

# Pause between the pieces of one reply: long enough that the client reads the first
# piece before the next one arrives.
PAUSE = 0.5
# No wait of the server is unbounded.
IO_TIMEOUT = 30.0
CLOSE = object()


class silence:
    """A piece that is no bytes but a stretch of silence of the server."""

    def __init__(self, seconds):
        self.seconds = seconds


def _bytes(text):
    return text.encode("cp932") if isinstance(text, str) else text


def greet(*pieces):
    """Sends the pieces as soon as the client has connected (the greeting)."""
    return ("send", [_piece(p) for p in pieces])


def on(verb, *pieces):
    """Reads one command line of the client, then sends the pieces (none: no reply)."""
    return ("command", verb, [_piece(p) for p in pieces])


def on_all(verbs, *pieces):
    """Reads one command line per verb, then sends the pieces (the replies to all of them)."""
    return ("commands", list(verbs), [_piece(p) for p in pieces])


def message(*pieces):
    """Reads the message data up to and including the end-of-data line, then replies."""
    return ("message", [_piece(p) for p in pieces])


def during(nbytes, *pieces):
    """Waits until at least nbytes of the message have come (without taking them), then
    sends the pieces while the client is still sending; message() reads the rest."""
    return ("during", nbytes, [_piece(p) for p in pieces])


def cut(nbytes):
    """Reads at least nbytes more of what the client sends, then closes the connection
    with the rest unread (the client's further sends fail)."""
    return ("cut", nbytes)


def close():
    """Closes the connection at this point of the script."""
    return ("send", [CLOSE])


def bearer_auth(mechanism, token):
    """Serves one AUTH XOAUTH2 or AUTH OAUTHBEARER exchange that accepts only token."""
    return ("bearer", mechanism, token.encode() if isinstance(token, str) else token)


# The error a refused token earns (RFC 7628 section 3.2.2), and its challenge line.
BEARER_ERROR = b'{"status":"401","schemes":"bearer","scope":"https://mail.example.test/"}'
BEARER_CHALLENGE = b"334 " + base64.b64encode(BEARER_ERROR) + b"\r\n"
BEARER_REFUSAL = b"535 5.7.8 Username and Password not accepted\r\n"


def start_tls():
    """Runs the server side of the TLS handshake at this point of the script."""
    return ("tls",)


def _piece(p):
    return p if p is CLOSE or isinstance(p, silence) else _bytes(p)


# An EHLO reply that offers command pipelining.
EHLO_PIPELINING = "250-fake\r\n250-PIPELINING\r\n250 OK\r\n"


def dialogue(recipients=1, ehlo=("250-fake\r\n250 OK\r\n",), auth=(), end="250 2.0.0 Ok: queued\r\n",
             quit=("221 bye\r\n",), pipelining=False):
    """The script of a delivery that goes through: greeting, EHLO (offering PIPELINING
    when asked), the AUTH steps given, MAIL, one accepted RCPT per recipient, DATA, the
    message and QUIT."""
    if pipelining:
        ehlo = (EHLO_PIPELINING,)
    steps = [greet("220 fake ESMTP ready\r\n"), on("EHLO", *ehlo)]
    steps.extend(auth)
    steps.append(on("MAIL", "250 ok\r\n"))
    steps.extend(on("RCPT", "250 ok\r\n") for _ in range(recipients))
    steps.append(on("DATA", "354 go ahead\r\n"))
    steps.append(message(end))
    steps.append(on("QUIT", *quit))
    return steps


class FakeSMTP:
    """One scripted SMTP session on 127.0.0.1 (or host); use as a context manager."""

    def __init__(self, script, pause=PAUSE, slow_reader=False, tls=None, implicit_tls=False,
                 host="127.0.0.1"):
        self.script = list(script)
        self.tls = tls
        self.implicit_tls = implicit_tls
        self.clear_received = None
        self.tls_version = self.tls_cipher = self.sni = self.tls_error = None
        self.close_notify = False
        self.bearer = []              # decoded bearer-token responses
        self.pause = pause
        # A slow reader with a small receive buffer makes the client's sends block and
        # come back partial, as on a congested network.
        self.slow_reader = slow_reader
        self.received = bytearray()   # every byte from the client, in order
        self.commands = []            # the client's command lines, and each message's data
        self.spans = []               # per command: the receives of its first and last byte
        self._receive_ends = []       # per receive: the count of bytes received up to its end
        self._taken = 0               # the bytes of `received` taken as commands
        self.problems = []            # what did not go by the script
        self.connected = False
        self._listener = listening_socket(host)
        if slow_reader:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self._listener.bind((host, 0))
        self._listener.listen(1)
        self._listener.settimeout(0.1)
        self._client_done = False
        self.port = self._listener.getsockname()[1]
        self._buffer = bytearray()
        self._conn = None
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.finish()
        return False

    def finish(self, timeout=IO_TIMEOUT):
        """Waits for the session to end (the client leaves after its run) and stops."""
        self._client_done = True
        self._thread.join(timeout)
        if self._thread.is_alive():
            self.problems.append("session still open after %.0f s" % timeout)
            self._close_connection()
            self._thread.join(5)
        try:
            self._listener.close()
        except OSError:
            pass
        return bytes(self.received)

    # ------------------------------------------------------------ the session

    def _serve(self):
        try:
            deadline = time.monotonic() + IO_TIMEOUT
            while self._conn is None:
                try:
                    self._conn, _ = self._listener.accept()
                except socket.timeout:
                    # Nobody came. Once the client has ended, a connection it made would
                    # already wait in the backlog, so one more try settles it.
                    if self._client_done or time.monotonic() > deadline:
                        return
            self.connected = True
            self._conn.settimeout(IO_TIMEOUT)
            self._conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.implicit_tls and not self._start_tls():
                return
            for step in self.script:
                if not self._run_step(step):
                    return
            # After the script: keep recording whatever else the client sends until it
            # closes, so that a stray command shows in the transcript.
            while self._fill():
                pass
        except (OSError, socket.timeout) as e:
            self.problems.append("socket: %r" % e)
        finally:
            self._close_connection()

    def _run_step(self, step):
        kind = step[0]
        if kind == "send":
            return self._send(step[1])
        if kind == "command":
            line = self._read_until(b"\r\n")
            if line is None:
                self.problems.append("connection ended while waiting for %s" % step[1])
                return False
            self.commands.append(line)
            if not line.upper().startswith(step[1].encode()):
                self.problems.append("expected %s, got %r" % (step[1], line))
            return self._send(step[2])
        if kind == "commands":
            for verb in step[1]:
                line = self._read_command(verb)
                if line is None:
                    return False
                if not line.upper().startswith(verb.encode()):
                    self.problems.append("expected %s, got %r" % (verb, line))
            return self._send(step[2])
        if kind == "message":
            data = self._read_until(b"\r\n.\r\n")
            if data is None:
                self.problems.append("connection ended inside the message")
                return False
            self.commands.append(data)
            return self._send(step[1])
        if kind == "during":
            while len(self._buffer) < step[1] and self._fill():
                pass
            return self._send(step[2], in_turn=False)
        if kind == "tls":
            return self._start_tls()
        if kind == "bearer":
            return self._bearer(step[1], step[2])
        if kind == "cut":
            while len(self._buffer) < step[1] and self._fill():
                pass
            self._close_connection()
            return False
        raise ValueError(kind)

    def _send(self, pieces, in_turn=True):
        """Sends the pieces of one reply. in_turn: the client is to wait for the whole
        reply, so anything it sends before the last piece is noted as a problem."""
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(self.pause)
                if in_turn and self._client_spoke():
                    self.problems.append("the client went on before the reply was complete")
                    in_turn = False
            if piece is CLOSE:
                self._close_connection()
                return False
            if isinstance(piece, silence):
                time.sleep(piece.seconds)
                continue
            self._conn.sendall(piece)
        return True

    def _client_spoke(self):
        # Only what comes after the reply began counts: commands a pipelining client sent
        # with this one may already wait in the buffer.
        try:
            readable, _, _ = select.select([self._conn], [], [], 0)
            return bool(readable) and bool(self._conn.recv(1, socket.MSG_PEEK))
        except OSError:
            return False

    def _read_command(self, waiting_for):
        line = self._read_until(b"\r\n")
        if line is None:
            self.problems.append("connection ended while waiting for %s" % waiting_for)
        else:
            self.commands.append(line)
        return line

    def _bearer(self, mechanism, token):
        line = self._read_command("AUTH " + mechanism)
        if line is None:
            return False
        words = line[:-2].split(b" ")
        if [w.upper() for w in words[:2]] != [b"AUTH", mechanism.encode()] or len(words) > 3:
            self.problems.append("expected AUTH %s, got %r" % (mechanism, line[:80]))
        if len(words) >= 3:
            response = words[2]
        else:
            if not self._send([b"334 \r\n"]):
                return False
            response = self._read_command("the response")
            if response is None:
                return False
            response = response[:-2]
        try:
            decoded = base64.b64decode(response, validate=True)
        except ValueError:
            self.problems.append("response is not Base64: %r" % response[:80])
            decoded = b""
        self.bearer.append(decoded)
        found = re.search(rb"\x01auth=Bearer ([^\x01]*)\x01\x01$", decoded)
        if found and found.group(1) == token:
            return self._send([b"235 2.7.0 Accepted\r\n"])
        if not self._send([BEARER_CHALLENGE]):
            return False
        answer = self._read_command("the answer to the error challenge")
        if answer is None:
            return False
        expected = b"\r\n" if mechanism == "XOAUTH2" else b"AQ==\r\n"
        if answer != expected:
            self.problems.append("error challenge answered with %r" % answer[:80])
        return self._send([BEARER_REFUSAL])

    def _start_tls(self):
        if self._buffer:
            self.problems.append("client sent %r before the handshake" % bytes(self._buffer))
        self.clear_received = bytes(self.received)

        def note_name(_sock, name, _context):
            self.sni = name
        self.tls.sni_callback = note_name
        try:
            self._conn = self.tls.wrap_socket(self._conn, server_side=True,
                                              suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError) as e:
            self.tls_error = str(e)
            self._conn = None
            return False
        self.tls_version = self._conn.version()
        self.tls_cipher = self._conn.cipher()[0]
        return True

    def _fill(self):
        try:
            if self.slow_reader:
                time.sleep(0.001)
            data = self._conn.recv(4096 if self.slow_reader else 1 << 16)
        except socket.timeout:
            self.problems.append("client silent for %.0f s" % IO_TIMEOUT)
            return False
        except OSError:
            return False
        if not data:
            # A TLS socket gives no data on a close_notify; a bare close raises instead.
            self.close_notify = self.tls_version is not None
            return False
        self.received.extend(data)
        self._buffer.extend(data)
        self._receive_ends.append(len(self.received))
        return True

    def _read_until(self, marker):
        start = 0
        while True:
            at = self._buffer.find(marker, start)
            if at >= 0:
                end = at + len(marker)
                item = bytes(self._buffer[:end])
                del self._buffer[:end]
                first = bisect.bisect_right(self._receive_ends, self._taken)
                self._taken += end
                self.spans.append((first, bisect.bisect_left(self._receive_ends, self._taken)))
                return item
            start = max(0, len(self._buffer) - len(marker) + 1)
            if not self._fill():
                return None

    def arrivals(self):
        """The commands grouped by how they arrived: a command joins the group before it
        when its first byte came in the receive that brought the end of the one before.
        Each item is the command's verb in upper case, or "message" for message data."""
        groups = []
        last = None
        for command, (first, end) in zip(self.commands, self.spans):
            name = ("message" if command.endswith(b"\r\n.\r\n") else
                    command.split(b" ")[0].rstrip(b"\r\n").upper().decode("latin-1"))
            if groups and first == last:
                groups[-1].append(name)
            else:
                groups.append([name])
            last = end
        return groups

    def _close_connection(self):
        if self._conn is not None:
            try:
                self._conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            self._conn.close()
            self._conn = None


def listening_socket(host):
    """An unbound TCP socket of the family of host ("127.0.0.1" or "::1"); an IPv6 one
    takes IPv6 alone, so that the same port stays free on IPv4."""
    if ":" not in host:
        return socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    return s


def closed_port():
    """A loopback port on which nothing listens (connecting is refused)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ==================================================================== test helpers

ERROR_MESSAGES = {
    26: "パスワード取得コマンドが失敗しました。",
    2: "本文ファイルがみつかりません。",
    3: "添付ファイルがみつかりません。",
    8: "メールサーバとのコネクションエラー。",
    9: "メールサーバへの送信エラー。",
    10: "メールサーバからの受信エラー。",
    11: "メールサーバハンドリングエラー。",
    13: "ホスト名が取得できません。",
    24: "SSL接続またはハンドリングエラーです。",
    25: "メールサーバハンドリングエラー。(応答コード250)",
}


def error_lines(code, reply_code=0):
    """The two lines with which a failed run ends (as the program's own text)."""
    tail = "[server->%03d] \n" % reply_code if reply_code else "\n"
    return ("ERR-%04d:%s \n" % (code, ERROR_MESSAGES[code]) + tail).encode("cp932")


def header_fields(data):
    """The header block of a message (up to the empty line) as a list of raw lines."""
    head = data.split(b"\r\n\r\n", 1)[0]
    return [line + b"\r\n" for line in head.split(b"\r\n")]


DATE_RE = re.compile(rb"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), (\d\d) "
                     rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) "
                     rb"(\d\d):(\d\d):(\d\d) ([+-]?)(\d\d)(\d\d)\r\n$")
BOUNDARY_RE = re.compile(rb'boundary="(------_7356(-?\d+)QWEORfsdEYfi_MULTIPART_MIXED_)"\r\n')


class DeliveryTest(ProgramTest):
    """Runs the program against a scripted server; vorna.ini points at the server's port."""

    ini_extra = ""

    def write_ini(self, port, extra=None):
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=%d\r\n%s" % (port, extra if extra is not None
                                                                 else self.ini_extra))

    def deliver(self, script, *args, env=None, ini=None, pause=PAUSE, slow_reader=False,
                tls=None, implicit_tls=False):
        """Runs `vorna -h127.0.0.1 ARGS` against the script. Returns (result, server)."""
        server = FakeSMTP(script, pause=pause, slow_reader=slow_reader, tls=tls,
                          implicit_tls=implicit_tls)
        with server:
            self.write_ini(server.port, ini)
            result = self.vorna("-h127.0.0.1", *args, env=env)
        return result, server

    def client_host(self, server):
        """The client host name the program sent in its first command."""
        first = server.commands[0] if server.commands else b""
        match = re.match(rb"(?:EHLO|HELO) (.*)\r\n$", first)
        self.assertIsNotNone(match, first)
        if not WINDOWS:
            self.assertEqual(match.group(1), socket.gethostname().encode())
        return match.group(1)

    def the_message(self, server):
        """The message data of the session (ending with the end-of-data line)."""
        data = [c for c in server.commands if c.endswith(b"\r\n.\r\n")]
        self.assertEqual(len(data), 1, server.commands)
        return data[0]

    def assertMessage(self, server, expected):
        """Compares the message data with the expected bytes, in which b"%DATE" stands for
        the Date line (checked by pattern) and b"%B" for the multipart boundary (checked
        by pattern). Returns the actual Date line."""
        data = self.the_message(server)
        dates = [f for f in header_fields(data) if f.startswith(b"Date:")]
        self.assertEqual(len(dates), 1, data)
        self.assertRegex(dates[0], DATE_RE)
        expected = expected.replace(b"%DATE", dates[0])
        if b"%B" in expected:
            match = BOUNDARY_RE.search(data)
            self.assertIsNotNone(match, data)
            expected = expected.replace(b"%B", match.group(1))
        self.assertEqual(data, expected)
        return dates[0]

    def assertClean(self, result, server, status=0, stdout=b""):
        self.assertEqual(server.problems, [])
        self.assertEqual((result.status, result.stdout), (status, console(stdout)), result)
        self.assertEqual(self.work_files(), [])


def head(frm=b"From: \r\n", to=b"To: b@example.test\r\n", subject=b"", cc=b"",
         importance=b"", priority=b"", multipart=False):
    """The header block and the empty line after it; b"%DATE" stands for the Date line
    and b"%B" for the boundary."""
    content = (b'Content-Type: multipart/mixed; boundary="%B"\r\n' if multipart else
               b"Content-Type: text/plain; charset=ISO-2022-JP\r\n")
    return (frm + to + b"Subject: " + subject + b"\r\n" + cc + b"X-Mailer: VORNA 3.14\r\n" +
            importance + b"Mime-Version: 1.0\r\n" + content + priority +
            b"Content-Transfer-Encoding: 7bit\r\n" + b"%DATE" + b"\r\n")


# ------------------------------------------------------------- the text oracles

def sjis_to_jis(data):
    """Shift_JIS to ISO-2022-JP as the program converts one text: double-byte characters
    between ESC $ B and ESC ( J, half-width katakana as 7-bit bytes between SO and SI.
    Only for well-formed Shift_JIS text of ASCII, double-byte characters and half-width
    katakana that holds at least one double-byte character (the tests' inputs)."""
    out = bytearray()
    state = "plain"
    i = 0
    while i < len(data):
        c = data[i]
        if 0x81 <= c <= 0x9F or 0xE0 <= c <= 0xFC:
            if state == "kana":
                out += b"\x0f"
            if state != "kanji":
                out += b"\x1b$B"
                state = "kanji"
            t = data[i + 1]
            r = 0x70 if c <= 0x9F else 0xB0
            if t < 0x9F:
                out += bytes([(2 * (c - r) - 1) & 0xFF, t - 0x1F if t < 0x7F else t - 0x20])
            else:
                out += bytes([(2 * (c - r)) & 0xFF, t - 0x7E])
            i += 2
            continue
        if 0xA0 <= c <= 0xDF:
            if state == "kanji":
                out += b"\x1b(J"
            if state != "kana":
                out += b"\x0e"
                state = "kana"
            out.append(c & 0x7F)
        else:
            out += {"kanji": b"\x1b(J", "kana": b"\x0f", "plain": b""}[state]
            state = "plain"
            out.append(c)
        i += 1
    out += {"kanji": b"\x1b(J", "kana": b"\x0f", "plain": b""}[state]
    return bytes(out)


def encoded_word(sjis_text):
    """The header form of a value holding kanji: one ISO-2022-JP "B" encoded-word."""
    return b"=?ISO-2022-JP?B?" + base64.b64encode(sjis_to_jis(sjis_text)) + b"?="


def base64_part(data):
    """A work file's content: the transfer-encoding line, a blank line, Base64 lines of 76
    characters each ended by CR LF, and one more CR LF."""
    text = base64.b64encode(data)
    lines = b"".join(text[i:i + 76] + b"\r\n" for i in range(0, len(text), 76)
                     if len(text[i:i + 76]) == 76)
    rest = text[len(text) // 76 * 76:]
    return b"Content-Transfer-Encoding: base64\r\n\r\n" + lines + rest + b"\r\n"
