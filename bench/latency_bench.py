#!/usr/bin/env python3
"""The benchmark's latency row: one small message to 5 recipients sent through a relay on
loopback that delays every byte by half the round-trip time in each direction, as a server
20 to 150 ms away does, by VORNA, msmtp and curl, interleaved: once in plain text and once
with STARTTLS and AUTH PLAIN. The relay counts the round trips of each session (each time
the server speaks again after the client has); the median wall time of each client is set
beside its round trips, with the targets: VORNA in 4 round trips plain and at most 8 with
STARTTLS and AUTH PLAIN, and at most 0.85 x the wall time of msmtp and of curl in both.

The server behind the relay offers PIPELINING: Postfix's smtp-sink for the plain row when
it is installed, else (and always for the STARTTLS row) the sink here, which answers like
a pipelining server (replies held until no further command waits), offers STARTTLS in the
clear and AUTH PLAIN inside TLS, and accepts any credentials.

    latency_bench.py --vorna BIN [--runs N] [--rtt-ms 100] [--work DIR]
"""
import argparse
import asyncio
import os
import shutil
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from tls_bench import make_certificates

RECIPIENTS = ["r%d@example.test" % i for i in range(1, 6)]
SENDER = "bench@example.test"
TARGET_PLAIN_TRIPS = 4
TARGET_TLS_TRIPS = 8
TARGET_SHARE = 0.85
USER, PASSWORD = "bench", "bench-secret"


# ---------------------------------------------------------------- the relay
class Relay:
    """Forwards 127.0.0.1:port to the sink with the delay in each direction; records the
    round trips of each session in `sessions` (in the order the sessions end)."""

    def __init__(self, target_port, one_way):
        self.target_port = target_port
        self.one_way = one_way
        self.sessions = []
        self.port = None
        self._ready = threading.Event()
        self._loop = asyncio.new_event_loop()
        threading.Thread(target=self._run, daemon=True).start()
        self._ready.wait(10)

    def _run(self):
        asyncio.set_event_loop(self._loop)
        server = self._loop.run_until_complete(
            asyncio.start_server(self._session, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        self._ready.set()
        self._loop.run_forever()

    async def _session(self, client_reader, client_writer):
        try:
            sink_reader, sink_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_writer.close()
            return
        state = {"last": None, "trips": 0}

        def seen(side):
            if side == "server" and state["last"] != "server":
                state["trips"] += 1
            state["last"] = side

        await asyncio.gather(self._pipe(client_reader, sink_writer, lambda: seen("client")),
                             self._pipe(sink_reader, client_writer, lambda: seen("server")))
        self.sessions.append(state["trips"])

    async def _pipe(self, reader, writer, on_data):
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        async def deliver():
            while True:
                due, data = await queue.get()
                await asyncio.sleep(max(0.0, due - loop.time()))
                try:
                    if data is None:
                        if writer.can_write_eof():
                            writer.write_eof()
                        return
                    writer.write(data)
                    await writer.drain()
                except (OSError, RuntimeError):
                    return

        sender = asyncio.ensure_future(deliver())
        while True:
            try:
                data = await reader.read(65536)
            except OSError:
                data = b""
            if data:
                on_data()
            await queue.put((loop.time() + self.one_way, data or None))
            if not data:
                break
        await sender
        writer.close()


# ---------------------------------------------------------------- the sink
class SinkSession:
    def __init__(self, sock, context):
        self.sock = sock
        self.context = context
        self.pending = b""
        self.out = []
        self.tls = False

    def reply(self, text):
        # Held while more commands wait, as a pipelining server does (RFC 2920 section 3.2).
        self.out.append(text.encode("ascii"))
        if b"\n" not in self.pending:
            self.sock.sendall(b"".join(self.out))
            self.out = []

    def line(self):
        while b"\n" not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.rstrip(b"\r").decode("ascii", "replace")

    def data(self):
        while b"\r\n.\r\n" not in b"\r\n" + self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                return False
            self.pending += chunk
        self.pending = (b"\r\n" + self.pending).split(b"\r\n.\r\n", 1)[1]
        return True

    def run(self):
        self.sock.settimeout(60)
        self.reply("220 bench sink ready\r\n")
        while True:
            line = self.line()
            if line is None:
                return
            verb = line.split(" ", 1)[0].upper()
            if verb in ("EHLO", "HELO"):
                self.reply("250-bench sink\r\n250-PIPELINING\r\n250-8BITMIME\r\n" +
                           ("250 AUTH PLAIN\r\n" if self.tls else "250 STARTTLS\r\n"))
            elif verb == "STARTTLS" and not self.tls:
                self.reply("220 go ahead\r\n")
                self.pending = b""
                self.sock = self.context.wrap_socket(self.sock, server_side=True)
                self.tls = True
            elif verb == "AUTH" and self.tls:
                if len(line.split()) < 3:
                    self.reply("334 \r\n")
                    if self.line() is None:
                        return
                self.reply("235 2.7.0 ok\r\n")
            elif verb in ("MAIL", "RCPT", "RSET", "NOOP"):
                self.reply("250 ok\r\n")
            elif verb == "DATA":
                self.reply("354 go on\r\n")
                if not self.data():
                    return
                self.reply("250 queued\r\n")
            elif verb == "QUIT":
                self.reply("221 bye\r\n")
                return
            else:
                self.reply("502 not here\r\n")


def start_sink(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def one(sock):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            SinkSession(sock, context).run()
        except (OSError, ssl.SSLError):
            pass
        finally:
            sock.close()

    def serve():
        while True:
            sock, _ = listener.accept()
            threading.Thread(target=one, args=(sock,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def start_smtp_sink(work):
    """Postfix's smtp-sink on a free port, or None where it is not installed."""
    if not os.access("/usr/sbin/smtp-sink", os.X_OK):
        return None, None
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    user = ["-u", "nobody"] if os.geteuid() == 0 else []
    sink = subprocess.Popen(["/usr/sbin/smtp-sink"] + user + ["127.0.0.1:%d" % port, "16"],
                            cwd=work)
    for _ in range(50):
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return sink, port
        except OSError:
            time.sleep(0.1)
    sink.kill()
    return None, None


# ---------------------------------------------------------------- the clients
def clients(args, work, ca, port, tls):
    message = os.path.join(work, "message.txt")
    with open(message, "wb") as f:
        f.write(b"From: bench@example.test\r\nTo: r1@example.test\r\nSubject: bench\r\n\r\n"
                b"hello\r\n")
    ini = os.path.join(work, "vorna.ini")
    with open(ini, "w") as f:
        f.write("[SMTP]\nSMTP_PORT=%d\n" % port)
        if tls:
            f.write("SMTP_SSL=1\nSMTP_AUTH=2\nSMTP_USER=%s\nSMTP_PASS_COMMAND=echo %s\n"
                    "[SSL]\nSSL_VERIFY=1\nSSL_CA_FILE=%s\n" % (USER, PASSWORD, ca))
    msmtprc = os.path.join(work, "msmtprc")
    with open(msmtprc, "w") as f:
        f.write("# empty: everything comes from the command line\n")
    os.chmod(msmtprc, 0o600)
    msmtp = ["msmtp", "--file=" + msmtprc, "--host=127.0.0.1", "--port=%d" % port,
             "--from=" + SENDER]
    curl = ["curl", "-sS", "smtp://127.0.0.1:%d" % port, "--mail-from", SENDER, "-T", message]
    for rcpt in RECIPIENTS:
        curl += ["--mail-rcpt", rcpt]
    if tls:
        msmtp += ["--tls=on", "--tls-starttls=on", "--tls-trust-file=" + ca, "--auth=plain",
                  "--user=" + USER, "--passwordeval=echo " + PASSWORD]
        curl += ["--ssl-reqd", "--cacert", ca, "--user", "%s:%s" % (USER, PASSWORD),
                 "--login-options", "AUTH=PLAIN", "--sasl-ir"]
    else:
        msmtp += ["--tls=off", "--auth=off"]
    return {
        "vorna": ([args.vorna, "-h127.0.0.1", "-f" + SENDER, "-sbench", "-Thello",
                   ",".join(RECIPIENTS)], None),
        "msmtp": (msmtp + RECIPIENTS, message),
        "curl": (curl, None),
    }


def run_row(name, args, work, ca, relay, tls):
    commands = clients(args, work, ca, relay.port, tls)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": work, "TZ": "UTC0",
           "TMP": work}
    times = {client: [] for client in commands}
    trips = {client: [] for client in commands}
    for _ in range(args.runs):
        for client, (command, stdin_path) in commands.items():
            before = len(relay.sessions)
            stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
            started = time.perf_counter()
            r = subprocess.run(command, cwd=work, env=env, stdin=stdin, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=60)
            elapsed = time.perf_counter() - started
            if stdin_path:
                stdin.close()
            if r.returncode != 0:
                raise RuntimeError("%s (%s) failed with %d: %s" % (client, name, r.returncode,
                                                                  r.stdout[-500:]))
            for _ in range(100):  # the relay closes its side a moment after the client's
                if len(relay.sessions) > before:
                    break
                time.sleep(0.02)
            times[client].append(elapsed)
            trips[client].append(relay.sessions[before] if len(relay.sessions) > before else -1)
    return {client: (statistics.median(times[client]), max(trips[client]))
            for client in commands}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vorna", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rtt-ms", type=float, default=100.0)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    args.vorna = os.path.abspath(args.vorna)
    for tool in ("msmtp", "curl"):
        if shutil.which(tool) is None:
            print("missing: %s (bench/extra-latency.sh installs it as root)" % tool)
            return 1

    work = tempfile.mkdtemp(prefix="latency-", dir=args.work)
    smtp_sink = None
    try:
        ca, cert, key = make_certificates(work)
        own_port = start_sink(cert, key)
        smtp_sink, sink_port = start_smtp_sink(work)
        plain_sink = "smtp-sink" if smtp_sink else "the bench sink"
        one_way = args.rtt_ms / 2000.0
        plain = run_row("plain", args, work, ca, Relay(sink_port or own_port, one_way), False)
        secure = run_row("STARTTLS", args, work, ca, Relay(own_port, one_way), True)
    finally:
        if smtp_sink:
            smtp_sink.kill()
            smtp_sink.wait()
        shutil.rmtree(work, ignore_errors=True)

    print("Latency row: one message to %d recipients through a relay adding %.0f ms of "
          "round-trip time, medians of %d runs" % (len(RECIPIENTS), args.rtt_ms, args.runs))
    print("%-28s | %-20s | %-20s | %-20s" % ("", "vorna", "msmtp", "curl"))
    for title, row in (("plain (%s)" % plain_sink, plain),
                       ("STARTTLS + AUTH PLAIN", secure)):
        print("%-28s | %s" % (title, " | ".join(
            "%7.3f s %2d trips  " % row[c] for c in ("vorna", "msmtp", "curl"))))
    checks = [
        ("vorna plain in %d round trips" % TARGET_PLAIN_TRIPS,
         plain["vorna"][1] == TARGET_PLAIN_TRIPS),
        ("vorna STARTTLS + AUTH PLAIN in at most %d round trips" % TARGET_TLS_TRIPS,
         0 < secure["vorna"][1] <= TARGET_TLS_TRIPS),
    ]
    for title, row in (("plain", plain), ("STARTTLS + AUTH PLAIN", secure)):
        for other in ("msmtp", "curl"):
            checks.append(("vorna wall <= %.2f x %s, %s" % (TARGET_SHARE, other, title),
                           row["vorna"][0] <= TARGET_SHARE * row[other][0]))
    for text, ok in checks:
        print("%-4s %s" % ("ok" if ok else "MISS", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
