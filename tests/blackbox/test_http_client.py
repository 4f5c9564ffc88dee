"""The HTTP POST of the platform layer on its own, through tests/drivers/http_client, against
Python servers on 127.0.0.1 with the test PKI: the CA file, the system's roots, SSL_VERIFY=0,
each certificate fault refused with nothing of the body sent, an address checked against
the certificate, the deadline against a server that never starts TLS, the size cap.

Runs where the build made the client (VORNA_HTTP_CLIENT).
"""
import os
import socket
import ssl
import subprocess
import threading
import time
import unittest

import harness
import tls_certs

CLIENT = os.environ.get("VORNA_HTTP_CLIENT", "")
SECRET = b"refresh_token=SECRET-REFRESH-TOKEN"
FORM = "grant_type=refresh_token&" + SECRET.decode()


def setUpModule():
    if not CLIENT:
        raise unittest.SkipTest("no HTTP client built for this target")
    tls_certs.certificates()


class Server:
    """One connection on 127.0.0.1, served in a thread. kind: the certificate (good,
    wrongname, expired, untrusted) or None for plain http. silent: the connection is taken
    and nothing is said, not even the TLS handshake. Everything received after a
    handshake, on any connection, is kept in `received`."""

    def __init__(self, kind="good", silent=False, reply_body=b'{"access_token":"x"}'):
        self.kind = kind
        self.silent = silent
        self.reply_body = reply_body
        self.received = bytearray()
        self.connected = False
        self.done = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        # Connection after connection (a client may make a handshake of its own first),
        # until finish().
        while not self.done.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.connected = True
            conn.settimeout(20)
            try:
                if self.silent:
                    self.done.wait(20)
                    return
                if self.kind:
                    conn = tls_certs.server_context(self.kind).wrap_socket(conn, server_side=True)
                self._answer(conn)
            except (OSError, ssl.SSLError):
                pass  # the client gave up; what it sent is in self.received
            finally:
                conn.close()

    def _answer(self, conn):
        start = len(self.received)
        while True:
            head, _, rest = bytes(self.received[start:]).partition(b"\r\n\r\n")
            if _:
                length = 0
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":", 1)[1])
                if len(rest) >= length:
                    break
            piece = conn.recv(65536)
            if not piece:
                return
            self.received += piece
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
                     b"\r\n%s" % (len(self.reply_body), self.reply_body))

    def finish(self):
        self.done.set()
        self.listener.close()
        self.thread.join(30)


class HttpClientTest(unittest.TestCase):
    def post(self, server, *options, host="localhost", scheme="https"):
        url = "%s://%s:%d/token" % (scheme, host, server.port)
        command = (harness.RUNNER.split(";") if harness.RUNNER else []) + [CLIENT, url, FORM]
        command += list(options)
        env = {k: os.environ[k] for k in ("PATH", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES",
                                          "HOME", "USER", "SYSTEMROOT", "LD_LIBRARY_PATH")
               if k in os.environ}
        started = time.monotonic()
        try:
            completed = subprocess.run(command, env=env, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, timeout=90)
        finally:
            self.elapsed = time.monotonic() - started
            server.finish()
        return completed.returncode, completed.stdout.decode("ascii", "replace")

    def ca(self, name="ca.pem"):
        return harness.native_path(tls_certs.path(name))

    def test_private_ca_file_verifies_and_the_form_arrives(self):
        server = Server()
        status, out = self.post(server, "--ca", self.ca())
        self.assertEqual(status, 0, out)
        self.assertIn("http: 200\n", out.replace("\r\n", "\n"))
        self.assertIn('{"access_token":"x"}', out)
        self.assertTrue(bytes(server.received).endswith(b"\r\n\r\n" + FORM.encode()),
                        server.received)

    def test_address_is_matched_against_the_certificate(self):
        server = Server()
        status, out = self.post(server, "--ca", self.ca(), host="127.0.0.1")
        self.assertEqual(status, 0, out)
        # wrongname names no address at all.
        server = Server("wrongname")
        status, out = self.post(server, "--ca", self.ca(), host="127.0.0.1")
        self.assertEqual(status, 4, out)
        self.assertNotIn(SECRET, bytes(server.received))

    def test_refused_certificates_never_see_the_body(self):
        cases = [("good", ["--ca", self.ca("other-ca.pem")], "another CA file"),
                 ("good", [], "a private CA against the system's roots"),
                 ("untrusted", ["--ca", self.ca()], "a rogue root"),
                 ("expired", ["--ca", self.ca()], "an expired leaf"),
                 ("wrongname", ["--ca", self.ca()], "another host name")]
        for kind, options, what in cases:
            with self.subTest(what):
                server = Server(kind)
                status, out = self.post(server, *options)
                self.assertEqual(status, 4, out)
                self.assertIn("result: tls-failed", out)
                self.assertNotIn(SECRET, bytes(server.received))

    def test_verification_off_takes_an_untrusted_certificate(self):
        server = Server("untrusted")
        status, out = self.post(server, "--no-verify")
        self.assertEqual(status, 0, out)
        self.assertIn(SECRET, bytes(server.received))

    def test_unreadable_ca_file_fails_before_anything_is_sent(self):
        server = Server()
        status, out = self.post(server, "--ca", harness.native_path("/nonexistent/ca.pem"))
        self.assertEqual(status, 4, out)
        self.assertEqual(bytes(server.received), b"")
        if harness.WINDOWS:  # read before connecting (libcurl reads it at the handshake)
            self.assertFalse(server.connected)

    def test_server_that_never_starts_tls_ends_at_the_deadline(self):
        server = Server(silent=True)
        status, out = self.post(server, "--ca", self.ca(), "--timeout", "1500")
        self.assertEqual(status, 5, out)
        self.assertGreater(self.elapsed, 1.4)
        self.assertLess(self.elapsed, 10)

    def test_reply_over_the_cap_is_refused(self):
        server = Server(reply_body=b"x" * 5001)
        status, out = self.post(server, "--ca", self.ca(), "--max", "5000")
        self.assertEqual(status, 6, out)
        server = Server(reply_body=b"x" * 5000)
        status, out = self.post(server, "--ca", self.ca(), "--max", "5000")
        self.assertEqual(status, 0, out)

    def test_plain_http_to_loopback(self):
        server = Server(kind=None)
        status, out = self.post(server, scheme="http", host="127.0.0.1")
        self.assertEqual(status, 0, out)
        self.assertIn(SECRET, bytes(server.received))


if __name__ == "__main__":
    unittest.main()
