"""Encrypted delivery: STARTTLS and implicit TLS for SMTP, STLS and implicit TLS for the
POP3 login, certificate checks, and the failures that must never fall back to plain text.

The servers are the scripted fakes with Python's ssl module; the certificates come from a
private test CA made at test time (tls_certs.py)."""
import base64
import hashlib
import os
import re
import socket
import ssl
import threading
import time
import unittest

import tls_certs
from fake_pop3 import START_TLS, FakePop3
from fake_smtp import (DeliveryTest, FakeSMTP, dialogue, error_lines, greet, message, on,
                       start_tls)
from harness import WINDOWS, console, native_path
# Modules, not their classes, so that their tests are not collected here again.
import test_delivery_auth as auth_tests
import test_pop3 as pop3_tests

EHLO_TLS = ("250-fake\r\n250-STARTTLS\r\n250 OK\r\n",)
EHLO_INSIDE = ("250-fake\r\n250-AUTH CRAM-MD5 PLAIN LOGIN\r\n250 OK\r\n",)


def ca_file(name="ca.pem"):
    return native_path(tls_certs.path(name))


def starttls_script(ehlo=EHLO_TLS, reply=("220 2.0.0 Ready to start TLS\r\n",), auth=(),
                    inside=EHLO_INSIDE):
    """Greeting, EHLO and STARTTLS in the clear, then a whole delivery inside TLS."""
    rest = dialogue(ehlo=inside, auth=auth)[1:]  # without the greeting
    return [greet("220 fake ESMTP ready\r\n"), on("EHLO", *ehlo), on("STARTTLS", *reply),
            start_tls()] + rest


def tls_ini(mode, verify=None, ca=True, extra=""):
    text = "SMTP_SSL=%d\r\n" % mode + extra
    if verify is not None or ca:
        text += "[SSL]\r\n"
    if verify is not None:
        text += "SSL_VERIFY=%d\r\n" % verify
    if ca:
        text += "SSL_CA_FILE=%s\r\n" % (ca_file() if ca is True else ca)
    return text


def after_tls(server):
    """The bytes the client sent inside TLS."""
    return bytes(server.received[len(server.clear_received):])


class SmtpTls(DeliveryTest):
    def send(self, script, ini, *args, kind="good", implicit=False, host="127.0.0.1",
             env=None):
        server = FakeSMTP(script, tls=tls_certs.server_context(kind), implicit_tls=implicit)
        with server:
            self.write_ini(server.port, ini)
            result = self.vorna("-h" + host, *args, "-Tbody", "b@example.test", env=env)
        return result, server

    def assertDeliveredInside(self, result, server):
        self.assertEqual((result.status, server.problems, server.tls_error), (0, [], None),
                         result)
        self.assertIn(server.tls_version, ("TLSv1.2", "TLSv1.3"))
        self.assertTrue(server.commands[-2].endswith(b"\r\n.\r\n"))
        self.assertTrue(server.close_notify, "the session ends with close_notify")

    def test_starttls_delivers_inside_tls_after_greeting_again(self):
        for host, sni in (("127.0.0.1", None), ("localhost", "localhost")):
            with self.subTest(host=host):
                r, server = self.send(starttls_script(), tls_ini(1), host=host)
                self.assertDeliveredInside(r, server)
                name = self.client_host(server)
                # Nothing but EHLO and STARTTLS went out in the clear; EHLO comes again.
                self.assertEqual(server.clear_received,
                                 b"EHLO " + name + b"\r\nSTARTTLS\r\n")
                self.assertTrue(after_tls(server).startswith(b"EHLO " + name + b"\r\nMAIL"))
                self.assertEqual(server.sni, sni, "SNI for a name, none for an address")

    def test_implicit_tls_reads_the_greeting_inside(self):
        r, server = self.send(dialogue(), tls_ini(2), implicit=True)
        self.assertDeliveredInside(r, server)
        self.assertEqual(server.clear_received, b"")

    def test_debug_line_after_the_handshake(self):
        for verify, judged in ((1, b"verified (CA file)"), (0, b"not verified (SSL_VERIFY=0)")):
            with self.subTest(verify=verify):
                r, server = self.send(starttls_script(), tls_ini(1, verify=verify), "-d")
                self.assertEqual(r.status, 0, r)
                line = [x.rstrip(b"\r") for x in r.stdout.split(b"\n")
                        if x.startswith(b"TLS: ")]
                self.assertEqual(len(line), 1, r.stdout)
                self.assertIn(server.tls_version.encode(), line[0])
                if WINDOWS:
                    # SChannel names the suite as the TLS registry does (under Wine with
                    # parts it cannot name): the bulk cipher is what both names share.
                    bulk = re.search(r"AES(\d+)-GCM", server.tls_cipher)
                    self.assertIsNotNone(bulk, server.tls_cipher)
                    self.assertIn(b"AES_%s_GCM" % bulk.group(1).encode(), line[0])
                else:
                    self.assertIn(server.tls_cipher.encode(), line[0])
                self.assertIn(b"CN=localhost", line[0])
                self.assertTrue(line[0].endswith(judged), line[0])

    def test_starttls_missing_is_error_23_with_nothing_more_sent(self):
        cases = [
            ("not announced", [greet("220 hi\r\n"), on("EHLO", "250-fake\r\n250 AUTH PLAIN\r\n")],
             [b"EHLO"]),
            ("HELO fall-back", [greet("220 hi\r\n"), on("EHLO", "502 no\r\n"),
                                on("HELO", "250-fake\r\n250 STARTTLS\r\n")], [b"EHLO", b"HELO"]),
            ("keyword only inside a word", [greet("220 hi\r\n"),
                                            on("EHLO", "250-fake\r\n250 XSTARTTLSX\r\n")],
             [b"EHLO"]),
        ]
        for name, script, sent in cases:
            with self.subTest(name):
                r, server = self.send(script, tls_ini(1, extra="SMTP_AUTH=2\r\n"))
                self.assertEqual(r.status, 23, r)
                self.assertEqual([c.split()[0] for c in server.commands], sent)

    def test_starttls_refused_is_error_23_with_the_code(self):
        for reply in ("454 4.7.0 TLS not available\r\n", "502 unknown\r\n"):
            with self.subTest(reply=reply):
                script = [greet("220 hi\r\n"), on("EHLO", *EHLO_TLS), on("STARTTLS", reply)]
                r, server = self.send(script, tls_ini(1))
                self.assertEqual(r.status, 23, r)
                self.assertIn(b"[server->%s] " % reply[:3].encode(), r.stdout)
                self.assertEqual(len(server.commands), 2)

    def test_unusual_starttls_replies_are_handled(self):
        cases = [
            ("multi-line reply", EHLO_TLS, ("220-first\r\n220 go ahead\r\n",)),
            ("announced twice", ("250-fake\r\n250-STARTTLS\r\n250 starttls\r\n",),
             ("220 go\r\n",)),
        ]
        for name, ehlo, reply in cases:
            with self.subTest(name):
                r, server = self.send(starttls_script(ehlo=ehlo, reply=reply), tls_ini(1))
                self.assertDeliveredInside(r, server)

    def test_plain_text_after_the_220_is_never_read_as_a_reply(self):
        # The injected "250" lines would make the client skip the second EHLO; whether
        # they are thrown away (delivery inside TLS) or break the handshake (24), the
        # dialogue inside TLS must begin with EHLO.
        for name, reply in (("same piece", ("220 go\r\n250-INJECTED\r\n250 OK\r\n",)),
                            ("later piece", ("220 go\r\n", "250 INJECTED\r\n"))):
            with self.subTest(name):
                r, server = self.send(starttls_script(reply=reply), tls_ini(1))
                self.assertIn(r.status, (0, 24), r)
                if r.status == 0:
                    self.assertTrue(after_tls(server).startswith(b"EHLO "))
                else:
                    self.assertNotIn(b"MAIL", bytes(server.received))

    def test_certificate_faults_are_error_24_and_opting_out_sends(self):
        cases = [("wrongname", "localhost"), ("wrongname", "127.0.0.1"),
                 ("expired", "127.0.0.1"), ("untrusted", "localhost")]
        for kind, host in cases:
            with self.subTest(kind=kind, host=host):
                r, server = self.send(starttls_script(), tls_ini(1), kind=kind, host=host)
                self.assertEqual(r.status, 24, r)
                self.assertEqual(len(server.commands), 2, "nothing after STARTTLS")
            with self.subTest(kind=kind, host=host, verify=0):
                r, server = self.send(starttls_script(), tls_ini(1, verify=0), kind=kind,
                                      host=host)
                self.assertDeliveredInside(r, server)

    def test_only_a_zero_turns_the_certificate_check_off(self):
        # Words, an empty value and numbers that merely begin with or read as 0 check.
        for value in ("yes", "true", "on", "", "00", "0x1", "no"):
            with self.subTest(value=value):
                ini = tls_ini(1, extra="[SSL]\r\nSSL_VERIFY=%s\r\n" % value, ca=False)
                ini += "SSL_CA_FILE=%s\r\n" % ca_file()
                r, server = self.send(starttls_script(), ini, "-d", kind="wrongname",
                                      host="localhost")
                self.assertEqual(r.status, 24, r)
                self.assertEqual(after_tls(server), b"", "nothing is sent inside TLS")
                self.assertIn(b"TLS: failed: ", r.stdout)
        r, server = self.send(starttls_script(), tls_ini(1, extra="[SSL]\r\nSSL_VERIFY= 0 \r\n"),
                              "-d", kind="wrongname", host="localhost")
        self.assertDeliveredInside(r, server)
        self.assertIn(b", not verified (SSL_VERIFY=0)", r.stdout)

    def test_a_mode_that_is_no_mode_is_refused_before_connecting(self):
        for value in ("yes", "3", "-1", "1x", "starttls"):
            with self.subTest(value=value):
                r, server = self.send(dialogue(), tls_ini(1).replace(
                    "SMTP_SSL=1", "SMTP_SSL=%s" % value), "-d", "-i")
                self.assertEqual(r.status, 24, r)
                self.assertFalse(server.connected, "the server saw a connection")
                self.assertEqual(r.stdout, console(
                    b"TLS: SMTP_SSL=%s is no mode (0, 1 or 2)\n" % value.encode()
                    + error_lines(24)))
        # A missing key or an empty value is plain text, as it always was.
        for ini in ("SMTP_SSL=\r\n", "SMTP_SSL= 0\r\n", ""):
            with self.subTest(ini=ini):
                r, server = self.send(dialogue(), ini)
                self.assertEqual((r.status, server.problems), (0, []), r)
                self.assertIsNone(server.tls_version)

    def test_server_below_tls_1_2_is_refused(self):
        context = tls_certs.server_context()
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1_1
        server = FakeSMTP(dialogue(), tls=context, implicit_tls=True)
        with server:
            self.write_ini(server.port, tls_ini(2, verify=0))
            r = self.vorna("-h127.0.0.1", "-Tx", "b@example.test")
        self.assertEqual(r.status, 24, r)
        # OpenSSL refuses the old version inside the handshake; SChannel lets the system
        # choose and refuses the session the handshake gave. Nothing is sent either way.
        self.assertIn(server.tls_version, (None, "TLSv1.1") if WINDOWS else (None,))
        self.assertEqual(server.commands, [])

    @unittest.skipIf(WINDOWS, "the system store under Wine is the prefix's own")
    def test_system_roots_without_a_ca_file(self):
        for bundle, status in (("other-bundle.pem", 24), ("bundle.pem", 0)):
            with self.subTest(bundle=bundle):
                r, server = self.send(starttls_script(), tls_ini(1, ca=False),
                                      env=self.env(SSL_CERT_FILE=tls_certs.path(bundle),
                                                   SSL_CERT_DIR=self.tmp))
                self.assertEqual(r.status, status, r)

    def test_unusable_ca_file_is_error_24_with_nothing_sent(self):
        not_pem = self.write("not.pem", "hello\r\n")
        for name, path in (("missing", native_path(os.path.join(self.dir, "none.pem"))),
                           ("not PEM", native_path(not_pem)), ("a directory", native_path(self.dir))):
            with self.subTest(name):
                r, server = self.send(dialogue(), tls_ini(2, ca=path), "-d", implicit=True)
                self.assertEqual(r.status, 24, r)
                self.assertIn(b"TLS: failed: ", r.stdout)
                self.assertNotIn(b"EHLO", bytes(server.received))

    def test_each_auth_method_inside_tls(self):
        auth = auth_tests.Authentication("run")
        auth.dir = self.dir
        auth.env = self.env
        for method in (1, 2, 3):
            with self.subTest(method=method):
                script = dialogue(ehlo=auth_tests.EHLO_WITH_AUTH, auth=auth_tests.auth_steps(method))
                r, server = self.send(script, tls_ini(2, extra=auth.auth_ini(method)),
                                      implicit=True)
                self.assertDeliveredInside(r, server)
                self.assertIn(auth_tests.auth_lines(method), bytes(server.received))

    def test_one_mib_attachment_arrives_intact(self):
        data = os.urandom(1 << 20)
        path = self.write("big.bin", data)
        r, server = self.send(starttls_script(), tls_ini(1), "-a" + native_path(path))
        self.assertDeliveredInside(r, server)
        body = server.commands[-2]
        start = body.index(b'filename="big.bin"')
        part = body[body.index(b"\r\n\r\n", start) + 4:]
        part = part[:part.index(b"\r\n--")]
        self.assertEqual(hashlib.sha256(base64.b64decode(part)).hexdigest(),
                         hashlib.sha256(data).hexdigest())


class BrokenTlsPeers(DeliveryTest):
    """Peers that do not complete a handshake: each ends with error 24, promptly."""

    def run_against(self, serve, mode):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(20)

        def accept_and_serve():
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                try:
                    serve(conn)
                except OSError:
                    pass
        thread = threading.Thread(target=accept_and_serve, daemon=True)
        thread.start()
        self.write_ini(listener.getsockname()[1], tls_ini(mode))
        started = time.monotonic()
        r = self.vorna("-h127.0.0.1", "-Tx", "b@example.test")
        elapsed = time.monotonic() - started
        thread.join(15)
        listener.close()
        return r, elapsed

    def test_plain_server_on_a_tls_port(self):
        def plain(conn):
            conn.sendall(b"220 plain ESMTP\r\n")
            conn.recv(4096)
        r, elapsed = self.run_against(plain, 2)
        self.assertEqual(r.status, 24, r)
        self.assertLess(elapsed, 20)

    def test_drop_during_the_handshake(self):
        def drop_at_hello(conn):
            conn.recv(10)

        def drop_after_220(conn):
            conn.sendall(b"220 hi\r\n")
            conn.recv(4096)
            conn.sendall(b"250-fake\r\n250 STARTTLS\r\n")
            conn.recv(4096)
            conn.sendall(b"220 go\r\n")
            conn.recv(10)
        for name, serve, mode in (("implicit", drop_at_hello, 2),
                                  ("after STARTTLS", drop_after_220, 1)):
            with self.subTest(name):
                r, elapsed = self.run_against(serve, mode)
                self.assertEqual(r.status, 24, r)
                self.assertLess(elapsed, 20)


class Pop3Tls(pop3_tests.Pop3Test):
    def configure_tls(self, port, mode, apop=0, time_out=5, verify=1):
        self.configure(port, apop=apop, time_out=time_out)
        path = os.path.join(self.cwd, "vorna.ini")
        with open(path, "rb") as f:
            text = f.read()
        # Only the first section of a name counts, so the key goes into the existing one.
        text = text.replace(b"[POP3]\n", b"[POP3]\nPOP3_SSL=%d\n" % mode, 1)
        text += b"[SSL]\nSSL_VERIFY=%d\nSSL_CA_FILE=%s\n" % (verify, ca_file().encode())
        with open(path, "wb") as f:
            f.write(text)

    def test_stls_and_implicit_tls_with_each_login(self):
        # Error 8 at the closed SMTP port shows that the login went through.
        digest = hashlib.md5(b"<1896.697170952@dbc.mtview.ca.us>secret").hexdigest().encode()
        logins = {0: [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"],
                  1: [b"APOP alice " + digest + b"\r\n", b"QUIT\r\n"]}
        for mode in (1, 2):
            for apop in (0, 1):
                with self.subTest(mode=mode, apop=apop):
                    replies = [pop3_tests.RFC_GREETING] + ([START_TLS] if mode == 1 else [])
                    replies += [b"+OK\r\n"] * len(logins[apop])
                    with FakePop3(replies, tls=tls_certs.server_context(),
                                  implicit_tls=mode == 2) as server:
                        self.configure_tls(server.port, mode, apop=apop)
                        r = self.deliver()
                    self.assertEqual((r.status, server.tls_error), (8, None), r)
                    self.assertIn(server.tls_version, ("TLSv1.2", "TLSv1.3"))
                    self.assertEqual(server.clear_lines, [b"STLS\r\n"] if mode == 1 else [])
                    self.assertEqual(server.lines[len(server.clear_lines):], logins[apop])

    def test_stls_refused_or_unanswered_is_error_23(self):
        for reply in (b"-ERR not now\r\n", b"+NO\r\n"):
            with self.subTest(reply=reply):
                with FakePop3([b"+OK ready\r\n", reply, b"+OK\r\n", b"+OK\r\n"]) as server:
                    self.configure_tls(server.port, 1)
                    r = self.deliver()
                self.assertEqual(r.status, 23, r)
                self.assertEqual(server.lines, [b"STLS\r\n"])

    def test_bad_certificate_is_error_24(self):
        with FakePop3([b"+OK ready\r\n", b"+OK\r\n"], tls=tls_certs.server_context("expired"),
                      implicit_tls=True) as server:
            self.configure_tls(server.port, 2)
            r = self.deliver()
        self.assertEqual(r.status, 24, r)
        self.assertEqual(server.lines, [])

    def test_a_mode_that_is_no_mode_is_refused_before_connecting(self):
        for value in (b"yes", b"3", b"-1"):
            with self.subTest(value=value):
                with FakePop3([b"+OK ready\r\n", b"+OK\r\n", b"+OK\r\n"]) as server:
                    self.configure(server.port)
                    path = os.path.join(self.cwd, "vorna.ini")
                    with open(path, "rb") as f:
                        text = f.read().replace(b"[POP3]\n", b"[POP3]\nPOP3_SSL=%s\n" % value)
                    with open(path, "wb") as f:
                        f.write(text)
                    r = self.deliver("-d")
                self.assertEqual(r.status, 24, r)
                self.assertEqual(server.connections, 0)
                self.assertIn(b"TLS: POP3_SSL=%s is no mode (0, 1 or 2)" % value, r.stdout)

    def test_stalled_handshake_runs_into_the_time_limit(self):
        # A server that takes the connection and never answers the ClientHello.
        with FakePop3([None]) as server:
            self.configure_tls(server.port, 2, time_out=2)
            started = time.monotonic()
            r = self.deliver()
            elapsed = time.monotonic() - started
        self.assertEqual(r.status, 19, r)
        self.assertLess(elapsed, 15)


if __name__ == "__main__":
    unittest.main()
