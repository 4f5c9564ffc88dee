"""The TLS session of the platform layer on its own, through tests/drivers/tls_client:
handshake and certificate judgement against Python TLS servers on 127.0.0.1, data in both
directions, close_notify, and the misbehaving peers that must fail promptly.

Runs where the build made the client (VORNA_TLS_CLIENT); under Wine also the system-store
path, with a root of its own added to the prefix's ROOT store for the one test.
"""
import hashlib
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest
import warnings

import harness
import tls_certs

CLIENT = os.environ.get("VORNA_TLS_CLIENT", "")
ROOT_TOOL = os.environ.get("VORNA_ROOT_STORE_TOOL", "")


def setUpModule():
    if not CLIENT:
        raise unittest.SkipTest("no TLS client built for this target")


def ca_file(name="ca.pem"):
    return harness.native_path(tls_certs.path(name))


def ipv6_loopback():
    """Whether this machine has ::1 (a test that needs it is skipped otherwise)."""
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def run_tool(program, args, timeout=60):
    command = (harness.RUNNER.split(";") if harness.RUNNER else []) + [program] + args
    env = {k: os.environ[k] for k in ("PATH", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES",
                                      "HOME", "USER", "SYSTEMROOT", "LD_LIBRARY_PATH",
                                      "SSL_CERT_FILE") if k in os.environ}
    completed = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=timeout)
    return completed.returncode, completed.stdout.decode("ascii", "replace")


class Peer:
    """One-connection server on 127.0.0.1 (or host) in a thread. mode: "tls" (the echo dialogue of the
    client), "greet" (plain text greeting), "drop" (closes after the ClientHello), "silent",
    "oversize" (answers with a record header of 65535 bytes), "tls11" (TLS 1.1 only)."""

    def __init__(self, mode="tls", chain="good", host="127.0.0.1"):
        self.mode = mode
        self.chain = chain
        self.sni = "unset"
        self.received_before_close = None
        self.close_notify = False
        self.echoed = None
        self.error = None
        self.listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.listener.bind((host, 0))
        self.listener.listen(1)
        self.listener.settimeout(60)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _context(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls_certs.chain(self.chain))
        if self.mode == "tls11":
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1_1
            context.maximum_version = ssl.TLSVersion.TLSv1_1
            context.set_ciphers("ALL:@SECLEVEL=0")

        def sni(_sock, name, _ctx):
            self.sni = name
        context.sni_callback = sni
        return context

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError as e:
            self.error = e
            return
        conn.settimeout(30)
        try:
            if self.mode == "greet":
                conn.sendall(b"220 mail.example.test ESMTP ready\r\n")
                time.sleep(5)
            elif self.mode == "silent":
                time.sleep(8)
            elif self.mode in ("drop", "oversize"):
                data = conn.recv(65536)
                self.received_before_close = len(data)
                if self.mode == "oversize":
                    conn.sendall(b"\x16\x03\x03\xff\xff" + b"\x00" * 100)
                    time.sleep(5)
            elif self.mode == "count":
                total = 0
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    total += len(data)
                self.received_before_close = total
            else:
                self._tls(conn)
        except Exception as e:  # recorded for the test to judge
            self.error = e
        finally:
            conn.close()
            self.listener.close()

    def _tls(self, raw):
        conn = self._context().wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        try:
            self._echo(conn)
        finally:
            conn.close()

    def _echo(self, conn):
        head = b""
        while not head.endswith(b"\n"):
            piece = conn.recv(1)
            if not piece:
                return
            head += piece
        size = int(head.split()[1])
        data = bytearray()
        while len(data) < size:
            piece = conn.recv(min(65536, size - len(data)))
            if not piece:
                raise EOFError("short data")
            data += piece
        self.echoed = hashlib.sha256(data).hexdigest()
        # Back in pieces of differing size, so that the client reads across records.
        for start in range(0, len(data), 7000):
            conn.sendall(data[start:start + 7000])
        # The client's close_notify makes recv return b""; a bare TCP close raises.
        if conn.recv(1) == b"":
            self.close_notify = True
            conn.unwrap()

    def join(self):
        self.thread.join(60)


class TlsSessionTest(unittest.TestCase):
    def assertReason(self, out, text):
        """The failure line's wording is each implementation's own: checked for SChannel."""
        if harness.WINDOWS:
            self.assertIn(text, out)

    def client(self, peer, host="localhost", *options, timeout=60):
        started = time.monotonic()
        status, out = run_tool(CLIENT, [str(peer.port), host] + list(options), timeout=timeout)
        self.elapsed = time.monotonic() - started
        peer.join()
        return status, out

    def test_private_ca_file_verifies_and_carries_data_both_ways(self):
        work = tempfile.mkdtemp(prefix="vorna-tls-")
        self.addCleanup(shutil.rmtree, work, True)
        payload = os.urandom(1024 * 1024 + 12345)
        source, back = os.path.join(work, "in.bin"), os.path.join(work, "out.bin")
        with open(source, "wb") as f:
            f.write(payload)
        peer = Peer()
        status, out = self.client(peer, "localhost", "--ca", ca_file(),
                                  "--echo", harness.native_path(source), harness.native_path(back))
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r"handshake ok: TLSv1\.[23] \S.*localhost.*, verified \(CA file\)\r?\n")
        self.assertIn("echo: %d bytes" % len(payload), out)
        self.assertEqual(peer.echoed, hashlib.sha256(payload).hexdigest())
        with open(back, "rb") as f:
            self.assertEqual(f.read(), payload)
        self.assertEqual(peer.sni, "localhost")
        self.assertTrue(peer.close_notify, peer.error)

    def test_ip_literal_matches_the_address_entry_and_sends_no_sni(self):
        peer = Peer()
        status, out = self.client(peer, "127.0.0.1", "--ca", ca_file())
        self.assertEqual(status, 0, out)
        self.assertIn(", verified", out)
        self.assertIsNone(peer.sni)

    @unittest.skipUnless(ipv6_loopback(), "this machine has no IPv6 loopback (::1)")
    def test_ipv6_literal_matches_the_address_entry_and_sends_no_sni(self):
        for host in ("::1", "[::1]"):
            with self.subTest(host=host):
                peer = Peer(host="::1")
                status, out = self.client(peer, host, "--ca", ca_file(), "--connect", "::1")
                self.assertEqual(status, 0, out)
                self.assertIn(", verified", out)
                self.assertIsNone(peer.sni)
        peer = Peer(chain="wrongname", host="::1")
        status, out = self.client(peer, "[::1]", "--ca", ca_file(), "--connect", "::1")
        self.assertEqual(status, 24, out)
        self.assertReason(out, "does not name the address")
        self.assertIsNone(peer.sni)

    def test_certificate_faults_are_refused(self):
        ca = ca_file()
        for chain, host, reason in (
                ("wrongname", "localhost", "does not name the host"),
                ("wrongname", "127.0.0.1", "does not name the address"),
                ("expired", "localhost", "expired"),
                ("untrusted", "localhost", "trusted root")):
            with self.subTest(chain=chain, host=host):
                peer = Peer(chain=chain)
                status, out = self.client(peer, host, "--ca", ca)
                self.assertEqual(status, 24, out)
                self.assertIn("handshake failed:", out)
                self.assertReason(out, reason)

    def test_verification_off_accepts_a_faulty_certificate(self):
        peer = Peer(chain="untrusted")
        status, out = self.client(peer, "localhost", "--no-verify")
        self.assertEqual(status, 0, out)
        self.assertReason(out, "not verified (SSL_VERIFY=0)")

    def test_private_ca_is_not_trusted_without_the_ca_file(self):
        peer = Peer()
        status, out = self.client(peer, "localhost")
        self.assertEqual(status, 24, out)
        self.assertReason(out, "trusted root")

    def test_bad_ca_file_fails_before_anything_is_sent(self):
        work = tempfile.mkdtemp(prefix="vorna-tls-")
        self.addCleanup(shutil.rmtree, work, True)
        not_pem = os.path.join(work, "notpem.txt")
        with open(not_pem, "w") as f:
            f.write("just text, no certificate\n")
        broken = os.path.join(work, "broken.pem")
        with open(broken, "w") as f:
            f.write("-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n")
        for path, reason in ((os.path.join(work, "missing.pem"), "cannot be opened"),
                             (not_pem, "holds no PEM certificate"),
                             (broken, "cannot be read")):
            with self.subTest(reason=reason):
                peer = Peer(mode="count")
                status, out = self.client(peer, "localhost", "--ca", harness.native_path(path))
                self.assertEqual(status, 24, out)
                self.assertReason(out, reason)
                self.assertEqual(peer.received_before_close, 0)

    def test_peers_that_do_not_speak_tls_fail_promptly(self):
        for mode, reason in (("greet", 'did not answer with TLS; it sent "220 mail.example.test'),
                             ("drop", "closed the connection during the TLS handshake"),
                             ("oversize", "larger than TLS allows")):
            with self.subTest(mode=mode):
                peer = Peer(mode=mode)
                status, out = self.client(peer, "localhost", "--ca",
                                          ca_file(), "--timeout", "20000")
                self.assertEqual(status, 24, out)
                self.assertReason(out, reason)
                self.assertLess(self.elapsed, 15, "waited for the time-out instead")

    def test_silent_peer_ends_at_the_time_limit(self):
        peer = Peer(mode="silent")
        status, out = self.client(peer, "localhost", "--timeout", "2000")
        self.assertEqual(status, 24, out)
        self.assertReason(out, "did not complete in time")
        self.assertLess(self.elapsed, 12)

    def test_versions_below_tls_1_2_are_refused(self):
        peer = Peer(mode="tls11")
        status, out = self.client(peer, "localhost", "--ca", ca_file())
        self.assertEqual(status, 24, out)
        self.assertIn("handshake failed:", out)

    def test_renegotiation_is_handled_or_refused_within_the_time_limit(self):
        # openssl s_server renegotiates on the command "R" and quits on "Q".
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        chain, key = tls_certs.chain("good")
        leaf = tls_certs.path("good.pem")
        server = subprocess.Popen(
            ["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-cert", leaf,
             "-cert_chain", tls_certs.path("int.pem"), "-key", key, "-tls1_2"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.kill)
        ready, established = threading.Event(), threading.Event()

        def watch():
            for line in server.stdout:
                if line.startswith(b"ACCEPT"):
                    ready.set()
                if line.startswith(b"CIPHER is"):
                    established.set()
        threading.Thread(target=watch, daemon=True).start()
        self.assertTrue(ready.wait(30), "s_server did not start")

        def drive():
            if established.wait(30):
                for command, pause in ((b"R\n", 1.0), (b"after\n", 0.5), (b"Q\n", 0)):
                    try:
                        server.stdin.write(command)
                        server.stdin.flush()
                    except OSError:
                        return
                    time.sleep(pause)
        threading.Thread(target=drive, daemon=True).start()
        started = time.monotonic()
        status, out = run_tool(CLIENT, [str(port), "localhost", "--ca",
                                        ca_file(), "--read",
                                        "--timeout", "8000"])
        self.assertLess(time.monotonic() - started, 20)
        self.assertIn("handshake ok:", out)
        if status == 0:
            self.assertIn("after", out)
        else:
            self.assertEqual(status, 24, out)
            self.assertIn("read: 0 bytes, protocol", out)

    @unittest.skipUnless(harness.WINDOWS and ROOT_TOOL, "the system store of a Wine prefix")
    def test_system_store_trusts_a_root_added_to_it(self):
        ca = ca_file("store_ca.pem")
        peer = Peer(chain="store_server")
        status, out = self.client(peer, "localhost")
        self.assertEqual(status, 24, out)
        self.assertEqual(run_tool(ROOT_TOOL, ["add", ca])[0], 0)
        try:
            peer = Peer(chain="store_server")
            status, out = self.client(peer, "localhost")
            self.assertEqual(status, 0, out)
            self.assertIn("CN=localhost, verified (system roots)", out)
        finally:
            self.assertEqual(run_tool(ROOT_TOOL, ["remove", ca])[0], 0)


if __name__ == "__main__":
    unittest.main()
