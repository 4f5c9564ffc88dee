#!/usr/bin/env python3
"""The benchmark's TLS row: one message with a 100 MiB attachment sent over STARTTLS to a
TLS-capable SMTP sink on loopback, by VORNA (SMTP_SSL=1 and the test CA as SSL_CA_FILE)
and by curl (--ssl-reqd, the same CA, MIME upload with Base64 encoding), interleaved in the
same run. Wall time and peak RSS (GNU time), medians, and the targets: VORNA at most
0.35 x curl's wall time, peak RSS under 12 MiB.

    tls_bench.py --vorna BIN --measure HELPER [--runs N] [--size MiB] [--work DIR]
    tls_bench.py --sink CERT KEY LOG        (the sink itself; prints its port, then serves)

The sink answers EHLO with STARTTLS before TLS and without it inside, refuses everything but
EHLO, HELO, STARTTLS, NOOP and QUIT in plain text, reads DATA through a 1 MiB buffer and
throws it away, and logs one line per message: the bytes of DATA, the TLS version and the
cipher.
"""
import argparse
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

from bench import make_attachment, timed

MiB = 1 << 20
TARGET_CURL = 0.35
TARGET_RSS_KIB = 12 * 1024


# ---------------------------------------------------------------- the sink
class Session:
    def __init__(self, sock, context, log):
        self.sock = sock
        self.context = context
        self.log = log
        self.pending = b""
        self.tls = False

    def send(self, text):
        self.sock.sendall(text.encode("ascii"))

    def line(self):
        while b"\n" not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.rstrip(b"\r").decode("ascii", "replace")

    def data(self):
        """Reads the message up to the end-of-data line; the count of its bytes."""
        buffer = bytearray(MiB)
        view = memoryview(buffer)
        # The end-of-data line may come in pieces: the last bytes seen so far, starting with
        # the line end of the DATA command itself.
        window = b"\r\n" + self.pending
        total = len(self.pending)
        self.pending = b""
        while not window.endswith(b"\r\n.\r\n"):
            n = self.sock.recv_into(buffer)
            if n == 0:
                return None
            total += n
            window = window[-5:] + bytes(view[max(0, n - 5):n])
        return total

    def run(self):
        self.sock.settimeout(60)
        self.send("220 tls sink ready\r\n")
        while True:
            line = self.line()
            if line is None:
                return
            verb = line.split(" ", 1)[0].upper()
            if verb in ("EHLO", "HELO"):
                self.send("250-tls sink\r\n250-8BITMIME\r\n" +
                          ("250 SIZE 0\r\n" if self.tls else "250 STARTTLS\r\n"))
            elif verb == "STARTTLS" and not self.tls:
                self.send("220 go ahead\r\n")
                self.pending = b""  # nothing read in plain text counts inside TLS
                self.sock = self.context.wrap_socket(self.sock, server_side=True)
                self.tls = True
            elif verb == "QUIT":
                self.send("221 bye\r\n")
                if self.tls:
                    try:
                        self.sock.settimeout(5)
                        self.sock.unwrap()  # close_notify both ways
                    except (OSError, ssl.SSLError):
                        pass
                return
            elif verb == "NOOP":
                self.send("250 ok\r\n")
            elif not self.tls:
                self.send("530 STARTTLS first\r\n")
            elif verb in ("MAIL", "RCPT", "RSET"):
                self.send("250 ok\r\n")
            elif verb == "DATA":
                self.send("354 go on\r\n")
                started = time.perf_counter()
                total = self.data()
                if total is None:
                    return
                seconds = time.perf_counter() - started
                self.log.write("bytes=%d seconds=%.3f version=%s cipher=%s\n" % (
                    total, seconds, self.sock.version(), self.sock.cipher()[0]))
                self.log.flush()
                self.send("250 queued\r\n")
            else:
                self.send("502 not here\r\n")


def serve(cert, key, log_path):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    log = open(log_path, "a")

    def one(sock):
        try:
            Session(sock, context, log).run()
        except (OSError, ssl.SSLError) as e:
            log.write("error=%s\n" % e)
            log.flush()
        finally:
            sock.close()

    while True:
        sock, _ = listener.accept()
        threading.Thread(target=one, args=(sock,), daemon=True).start()


# ---------------------------------------------------------------- the timing
def make_certificates(directory):
    """A private CA and a certificate for 127.0.0.1 and localhost signed by it."""
    def run(*args):
        subprocess.run(["openssl"] + list(args), cwd=directory, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run("req", "-x509", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
        "-subj", "/CN=VORNA Bench CA", "-keyout", "ca.key", "-out", "ca.pem",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=localhost",
        "-keyout", "server.key", "-out", "server.csr")
    with open(os.path.join(directory, "server.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-sha256", "-days", "2", "-extfile", "server.ext",
        "-out", "server.pem")
    return [os.path.join(directory, name) for name in ("ca.pem", "server.pem", "server.key")]


def sink_lines(path):
    with open(path) as f:
        return f.read().splitlines()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sink", nargs=3, metavar=("CERT", "KEY", "LOG"))
    parser.add_argument("--vorna")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=100, help="attachment size in MiB")
    parser.add_argument("--work", default=None)
    parser.add_argument("--measure", default=os.environ.get("BENCH_MEASURE"),
                        help="the measure helper built from bench/measure.c")
    args = parser.parse_args()
    if args.sink:
        serve(*args.sink)
        return 0
    if not args.vorna or not args.measure:
        parser.error("--vorna and --measure are required")

    work = tempfile.mkdtemp(prefix="tls-", dir=args.work)
    tmp = os.path.join(work, "tmp")
    os.makedirs(tmp)
    ca, cert, key = make_certificates(work)
    log = os.path.join(work, "sink.log")
    here = os.path.dirname(os.path.abspath(__file__))
    sink = subprocess.Popen([sys.executable, os.path.join(here, "tls_bench.py"), "--sink",
                             cert, key, log], stdout=subprocess.PIPE, text=True)
    try:
        port = int(sink.stdout.readline())
        with open(os.path.join(work, "vorna.ini"), "w") as f:
            f.write("[SMTP]\nSMTP_PORT=%d\nSMTP_SSL=1\n[SSL]\nSSL_VERIFY=1\nSSL_CA_FILE=%s\n"
                    % (port, ca))
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMP": tmp, "TZ": "UTC0"}
        attachment = os.path.join(work, "attach-%dM.bin" % args.size)
        make_attachment(attachment, args.size * MiB)
        name = os.path.basename(attachment)
        clients = {
            "vorna": [args.vorna, "-h127.0.0.1", "-fbench@example.test", "-sbench",
                      "-a" + name, "sink@example.test"],
            "curl": ["curl", "-sS", "--ssl-reqd", "--cacert", ca,
                     "smtp://127.0.0.1:%d" % port, "--mail-from", "bench@example.test",
                     "--mail-rcpt", "sink@example.test", "-H", "Subject: bench",
                     "-F", "file=@%s;encoder=base64" % name],
        }
        results = {client: [] for client in clients}
        sent = {client: [] for client in clients}
        for _ in range(args.runs):
            for client, command in clients.items():  # interleaved, so drift hits both alike
                before = len(sink_lines(log))
                results[client].append(timed(args.measure, command, work, env))
                lines = sink_lines(log)[before:]
                if len(lines) != 1 or not lines[0].startswith("bytes="):
                    raise RuntimeError("%s: the sink logged %r" % (client, lines))
                sent[client].append(dict(kv.split("=", 1) for kv in lines[0].split()))
        if os.listdir(tmp):
            raise RuntimeError("work files left behind: %s" % os.listdir(tmp))
    finally:
        sink.kill()
        sink.wait()
        shutil.rmtree(work, ignore_errors=True)

    m = {client: (statistics.median(w for w, _, _ in runs),
                  statistics.median(r for _, r, _ in runs), max(r for _, r, _ in runs),
                  statistics.median(c for _, _, c in runs))
         for client, runs in results.items()}
    session = {client: "%s %s, %d bytes of DATA" % (s[0]["version"], s[0]["cipher"],
                                                    int(s[0]["bytes"]))
               for client, s in sent.items()}
    print("TLS row: %d MiB attachment over STARTTLS, medians of %d runs" % (args.size, args.runs))
    print("%9s | %-25s | %-25s | %7s" % ("size", "vorna", "curl --ssl-reqd", "v/curl"))
    cell = lambda n: "%7.3f s %5.1f/%5.1f MiB" % (m[n][0], m[n][1] / 1024, m[n][2] / 1024)
    print("%5d MiB | %s | %s | %7.3f" % (args.size, cell("vorna"), cell("curl"),
                                         m["vorna"][0] / m["curl"][0]))
    print("CPU seconds: vorna %.3f, curl %.3f" % (m["vorna"][3], m["curl"][3]))
    for client in clients:
        print("%s: %s" % (client, session[client]))
    checks = [
        ("vorna wall <= %.2f x curl over STARTTLS" % TARGET_CURL,
         m["vorna"][0] <= TARGET_CURL * m["curl"][0]),
        ("vorna peak RSS < 12 MiB over STARTTLS", m["vorna"][2] < TARGET_RSS_KIB),
    ]
    for text, ok in checks:
        print("%-4s %s" % ("ok" if ok else "MISS", text))
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
