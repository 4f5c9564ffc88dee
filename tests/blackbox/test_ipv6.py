"""IPv6 and names with several addresses: delivery and POP before SMTP to ::1 given as a
literal (bare or in brackets), TLS to an IPv6 literal, a name that resolves to ::1 and
127.0.0.1, an address that never answers followed by a good one, and names without any
address.

The name with two addresses is written into /etc/hosts for the run of this module, only
where the test may write that file (as root), and the file is given back byte for byte
afterwards; elsewhere those tests are skipped with the reason. An address that never
answers is a listener whose accept queue is full: the system drops every further
connection request without a reply, as it would for a dead route, and everything stays on
the loopback interface.
"""
import atexit
import os
import socket
import time
import unittest

import test_pop3 as pop3_tests  # the module, so that its tests are not collected again
import tls_certs
from fake_pop3 import FakePop3
from fake_smtp import DeliveryTest, FakeSMTP, closed_port, dialogue, error_lines
from harness import UNRESOLVABLE, WINDOWS, native_path

HOSTS = "/etc/hosts"
DUAL = "vorna-dual-stack.test"
NO_ADDRESS = UNRESOLVABLE
OK = b"+OK\r\n"
POP3_SCRIPT = [b"+OK ready\r\n", OK, OK, b"+OK bye\r\n"]
POP3_LINES = [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"]


def _ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


HAVE_IPV6 = _ipv6_loopback()
NO_IPV6 = "this machine has no IPv6 loopback (::1)"

_hosts = {"original": None, "skip": "not set up"}


def _restore_hosts():
    original = _hosts.pop("original", None)
    if original is not None:
        # In place: /etc/hosts is often a mount of its own that cannot be replaced.
        with open(HOSTS, "r+b") as f:
            f.write(original)
            f.truncate()


def setUpModule():
    if not HAVE_IPV6:
        _hosts["skip"] = NO_IPV6
    elif os.name != "posix" or os.geteuid() != 0 or not os.access(HOSTS, os.W_OK):
        _hosts["skip"] = "a name with two addresses needs /etc/hosts, writable only as root"
    else:
        with open(HOSTS, "rb") as f:
            original = f.read()
        _hosts["original"] = original
        atexit.register(_restore_hosts)
        lead = b"" if original.endswith(b"\n") or not original else b"\n"
        with open(HOSTS, "ab") as f:
            f.write(lead + ("::1 %s\n127.0.0.1 %s\n" % (DUAL, DUAL)).encode("ascii"))
        found = {entry[4][0] for entry in socket.getaddrinfo(DUAL, None, type=socket.SOCK_STREAM)}
        if found == {"::1", "127.0.0.1"}:
            _hosts["skip"] = None
        else:
            _hosts["skip"] = "the resolver gives %s for a name in /etc/hosts" % sorted(found)


def tearDownModule():
    _restore_hosts()


def first_family():
    """The address of DUAL that the system prefers ("::1" or "127.0.0.1")."""
    return socket.getaddrinfo(DUAL, None, type=socket.SOCK_STREAM)[0][4][0]


class SilentListener:
    """A listener on host:port that answers no connection request: its accept queue is
    filled by connections of its own, which it never takes."""

    def __init__(self, host, port):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sockets = []
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        if family == socket.AF_INET6:
            self.listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.listener.bind((host, port))
        self.listener.listen(0)
        for _ in range(3):
            filler = socket.socket(family, socket.SOCK_STREAM)
            filler.setblocking(False)
            filler.connect_ex((host, port))
            self.sockets.append(filler)
        time.sleep(0.1)
        probe = socket.socket(family, socket.SOCK_STREAM)
        probe.setblocking(False)
        probe.connect_ex((host, port))
        self.sockets.append(probe)
        time.sleep(0.4)
        self.silent = probe.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) == 0 and \
            not self._connected(probe)

    @staticmethod
    def _connected(s):
        try:
            s.getpeername()
            return True
        except OSError:
            return False

    def close(self):
        for s in self.sockets + [self.listener]:
            s.close()


class Ipv6Literal(DeliveryTest):
    def send(self, host, script=None, ini=None, **server_options):
        server = FakeSMTP(script or dialogue(), host="::1", **server_options)
        with server:
            self.write_ini(server.port, ini)
            result = self.vorna("-h" + host, "-Tbody", "b@example.test")
        return result, server

    @unittest.skipUnless(HAVE_IPV6, NO_IPV6)
    def test_literal_bare_or_in_brackets_reaches_the_server_on_ipv6(self):
        for host in ("::1", "[::1]", "0:0:0:0:0:0:0:1"):
            with self.subTest(host=host):
                r, server = self.send(host)
                self.assertClean(r, server)
                self.assertTrue(self.the_message(server).endswith(b"body\r\n.\r\n"))

    @unittest.skipUnless(HAVE_IPV6, NO_IPV6)
    def test_tls_to_an_ipv6_literal_checks_the_address_and_sends_no_sni(self):
        ini = "SMTP_SSL=2\r\n[SSL]\r\nSSL_CA_FILE=%s\r\n" % native_path(tls_certs.path("ca.pem"))
        r, server = self.send("[::1]", ini=ini, tls=tls_certs.server_context("good"),
                              implicit_tls=True)
        self.assertEqual((r.status, server.problems, server.tls_error), (0, [], None), r)
        self.assertIsNone(server.sni)
        self.assertTrue(server.close_notify)
        # A certificate that names no address is refused for an address.
        r, server = self.send("::1", ini=ini, tls=tls_certs.server_context("wrongname"),
                              implicit_tls=True)
        self.assertEqual(r.status, 24, r)
        self.assertNotIn(b"MAIL", bytes(server.received))

    def test_texts_without_an_address_are_error_13(self):
        # Brackets hold an address or nothing: none of these may turn into a name lookup
        # or a connection.
        for host in (NO_ADDRESS, "[::1]:25", "[localhost]", "[127.0.0.1]", "[]", "::1]"):
            with self.subTest(host=host):
                self.write_ini(closed_port())
                r = self.vorna("-h" + host, "b@example.test")
                self.assertOutput(r, 13, error_lines(13))


class DualName(DeliveryTest):
    def setUp(self):
        if _hosts["skip"]:
            self.skipTest(_hosts["skip"])
        super().setUp()

    def test_every_address_is_tried_until_one_connects(self):
        # The server listens on one address only: the other one refuses.
        for listening in ("::1", "127.0.0.1"):
            with self.subTest(listening=listening):
                server = FakeSMTP(dialogue(), host=listening)
                with server:
                    self.write_ini(server.port)
                    started = time.monotonic()
                    r = self.vorna("-h" + DUAL, "-Tbody", "b@example.test")
                    elapsed = time.monotonic() - started
                self.assertClean(r, server)
                if not WINDOWS:
                    self.assertLess(elapsed, 5, "a refused address is passed at once")

    def test_no_address_answering_is_error_8(self):
        self.write_ini(closed_port())
        r = self.vorna("-h" + DUAL, "b@example.test")
        self.assertOutput(r, 8, error_lines(8))

    def test_an_address_that_never_answers_costs_the_stagger_not_the_time_out(self):
        first = first_family()
        second = "127.0.0.1" if first == "::1" else "::1"

        def run(host, server):
            with server:
                self.write_ini(server.port)
                started = time.monotonic()
                r = self.vorna("-h" + host, "-Tbody", "b@example.test", timeout=90)
                elapsed = time.monotonic() - started
            self.assertClean(r, server)
            return elapsed

        # The same delivery straight to the good address, for the time it takes here.
        baseline = min(run(second, FakeSMTP(dialogue(), host=second)) for _ in range(2))
        server = FakeSMTP(dialogue(), host=second)
        silent = SilentListener(first, server.port)
        self.addCleanup(silent.close)
        if not silent.silent:
            self.skipTest("this system answers connections past a full accept queue")
        elapsed = run(DUAL, server)
        # 250 ms later than straight away; a client that waited for the first address
        # would wait for the whole connect time-out (60 s).
        self.assertLess(elapsed - baseline, 1.5, (elapsed, baseline))
        self.assertGreater(elapsed - baseline, 0.15, "the first address was not tried first")


class Pop3OverIpv6(pop3_tests.Pop3Test):
    @unittest.skipUnless(HAVE_IPV6, NO_IPV6)
    def test_login_to_an_ipv6_literal(self):
        for text in ("::1", "[::1]"):
            with self.subTest(server=text):
                with FakePop3(POP3_SCRIPT, host="::1") as server:
                    self.configure(server.port, server=text)
                    r = self.deliver()
                # Error 8 is the SMTP step after the login (its port is closed).
                self.assertOutput(r, 8, pop3_tests.ERR_8)
                self.assertEqual(server.lines, POP3_LINES)

    def test_login_to_a_name_with_two_addresses(self):
        if _hosts["skip"]:
            self.skipTest(_hosts["skip"])
        for listening in ("::1", "127.0.0.1"):
            with self.subTest(listening=listening):
                with FakePop3(POP3_SCRIPT, host=listening) as server:
                    self.configure(server.port, server=DUAL)
                    r = self.deliver()
                self.assertOutput(r, 8, pop3_tests.ERR_8)
                self.assertEqual(server.lines, POP3_LINES)
        self.configure(closed_port(), server=DUAL)
        self.assertOutput(self.deliver(), 20, pop3_tests.ERR_20)

    def test_server_without_an_address_is_error_13(self):
        for text in (NO_ADDRESS, "[pop.example.test]"):
            with self.subTest(server=text):
                self.configure(closed_port(), server=text)
                self.assertOutput(self.deliver(), 13, pop3_tests.ERR_13)


if __name__ == "__main__":
    unittest.main()
