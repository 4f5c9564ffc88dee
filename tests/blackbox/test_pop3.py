"""POP before SMTP against a scripted POP3 server: the login steps, their failures, the
time limit and the debug trace.

The SMTP step that follows a login points at a closed port, so error 8 (connection error
with the mail server) shows that the POP3 login itself went through.
"""
import hashlib
import os
import tempfile
import time
import unittest

from fake_pop3 import HANG_UP, FakePop3, closed_port
from harness import UNRESOLVABLE, ProgramTest, run

ERR_8 = "ERR-0008:メールサーバとのコネクションエラー。 \n\n"
ERR_13 = "ERR-0013:ホスト名が取得できません。 \n\n"
ERR_19 = "ERR-0019:ＰＯＰ３タイムアウトエラーです。 \n\n"
ERR_20 = "ERR-0020:ＰＯＰ３サーバと接続できません。 \n\n"
ERR_21 = "ERR-0021:ＰＯＰ３アカウントがありません。 \n\n"
ERR_22 = "ERR-0022:ＰＯＰ３アカウントまたはパスワードが間違っています。 \n\n"
POP3_HEADER = "------ POP3プロトコル ------\n"
SMTP_HEADER = "------ SMTPプロトコル ------\n"

OK = b"+OK\r\n"
GREETING = b"+OK ready\r\n"
RFC_GREETING = b"+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"

_stored_forms = {}


def stored_form(password):
    """The stored form of a password on this machine, as the settings menu makes it: the
    menu is run through a pipe in a scratch directory and its saved file is read."""
    if password not in _stored_forms:
        with tempfile.TemporaryDirectory(prefix="vorna-pw-") as scratch:
            ini = os.path.join(scratch, "vorna.ini")
            open(ini, "wb").close()  # found in the current directory, so saved there
            answers = "2\n4\n%s\n12\ny\n" % password
            env = {"windir": None, "WINDIR": None, "TMP": scratch}
            result = run([], scratch, env, stdin=answers.encode("ascii"))
            assert result.status == 0, result
            value = None
            with open(ini, "rb") as f:
                for line in f.read().splitlines():
                    key, _, rest = line.partition(b"=")
                    if key.strip().upper() == b"POP3_PASS":
                        value = rest.strip().decode("ascii")
            assert value, "no POP3_PASS saved for %r" % password
        _stored_forms[password] = value
    return _stored_forms[password]


class Pop3Test(ProgramTest):
    def configure(self, port, user="alice", password="secret", apop=0, wait=0, time_out=5,
                  server="127.0.0.1"):
        self.write("vorna.ini",
                   "[POP3]\nPOP3_USE=1\nAPOP_USE=%d\nPOP3_SERVER=%s\nPOP3_USER=%s\n"
                   "POP3_PASS=%s\nPOP3_PORT=%d\nPOP3_AFTER_WAIT=%d\nPOP3_TIME_OUT=%d\n"
                   "[SMTP]\nSMTP_PORT=%d\n"
                   % (apop, server, user, stored_form(password), port, wait, time_out,
                      closed_port()))

    def deliver(self, *options):
        return self.vorna(*options, "-h127.0.0.1", "a@example.test")


class UserPassLogin(Pop3Test):
    def test_login_then_smtp(self):
        with FakePop3([GREETING, OK, OK, b"+OK bye\r\n"]) as server:
            self.configure(server.port)
            r = self.deliver()
        self.assertOutput(r, 8, ERR_8)
        self.assertEqual(server.lines, [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"])

    def test_debug_trace_in_order_with_password_masked(self):
        with FakePop3([GREETING, b"+OK user\r\n", b"+OK pass\r\n", b"+OK bye\r\n"]) as server:
            self.configure(server.port, wait=200)
            r = self.deliver("-d")
        self.assertOutput(r, 8, POP3_HEADER + "Recv:+OK ready\r\n" + "Send: USER alice\n"
                          + "Recv:+OK user\r\n" + "Send: PASS ********\n"
                          + "Recv:+OK pass\r\n" + "Send: QUIT\n" + "Recv:+OK bye\r\n"
                          + SMTP_HEADER + ERR_8)

    def test_replies_in_pieces_are_judged_whole(self):
        # A reader that took one receive as the reply would see "+" or "+O" alone.
        script = [[b"+", 0.3, b"OK ready\r\n"], [b"+O", 0.3, b"K\r\n"],
                  [b"+OK pa", 0.2, b"ss\r", 0.2, b"\n"], OK]
        with FakePop3(script) as server:
            self.configure(server.port)
            r = self.deliver("-d")
        self.assertOutput(r, 8, POP3_HEADER + "Recv:+OK ready\r\n" + "Send: USER alice\n"
                          + "Recv:+OK\r\n" + "Send: PASS ********\n" + "Recv:+OK pass\r\n"
                          + "Send: QUIT\n" + "Recv:+OK\r\n" + SMTP_HEADER + ERR_8)

    def test_overlong_greeting_is_cut_and_the_rest_of_its_line_passed_over(self):
        with FakePop3([b"+OK " + b"x" * 3000 + b"\r\n", OK, OK, OK]) as server:
            self.configure(server.port)
            r = self.deliver()
        self.assertOutput(r, 8, ERR_8)
        self.assertEqual(server.lines, [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"])

    def test_negative_replies_end_the_run_without_debug(self):
        cases = [
            ("greeting", [b"-ERR busy\r\n"], 20, ERR_20, []),
            ("USER", [GREETING, b"-ERR no such user\r\n"], 21, ERR_21, [b"USER alice\r\n"]),
            ("PASS", [GREETING, OK, b"-ERR bad password\r\n"], 22, ERR_22,
             [b"USER alice\r\n", b"PASS secret\r\n"]),
            ("QUIT", [GREETING, OK, OK, b"-ERR\r\n"], 20, ERR_20,
             [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"]),
            ("hung up after USER", [GREETING, HANG_UP], 21, ERR_21, [b"USER alice\r\n"]),
        ]
        for name, script, status, output, sent in cases:
            with self.subTest(name):
                with FakePop3(script) as server:
                    self.configure(server.port)
                    r = self.deliver()
                self.assertOutput(r, status, output)
                self.assertEqual(server.lines, sent)

    def test_refused_connection_is_error_20(self):
        self.configure(closed_port())
        self.assertOutput(self.deliver(), 20, ERR_20)

    def test_unknown_server_name_is_error_13(self):
        self.configure(110, server=UNRESOLVABLE, time_out=30)
        self.assertOutput(self.deliver(), 13, ERR_13)


def md5(text):
    return hashlib.md5(text).hexdigest().encode("ascii")


# The digest of RFC 1939's example. The RFC prints c4c9334bac560ecc979e58001b3e22fb, which
# is not the MD5 of its own input; this is.
RFC_DIGEST = md5(b"<1896.697170952@dbc.mtview.ca.us>tanstaafl")


class ApopLogin(Pop3Test):
    def test_digest_of_timestamp_and_password(self):
        cases = [
            ("rfc example", RFC_GREETING, "mrose", "tanstaafl", RFC_DIGEST),
            ("no timestamp", GREETING, "alice", "secret", md5(b"secret")),
            ("< at index 3 is not seen", b"+OK<1.2@x>\r\n", "alice", "secret", md5(b"secret")),
            ("< at index 4", b"+OK <1.2@x> hi\r\n", "alice", "secret", md5(b"<1.2@x>secret")),
        ]
        for name, greeting, user, password, digest in cases:
            with self.subTest(name):
                with FakePop3([greeting, OK, OK]) as server:
                    self.configure(server.port, user=user, password=password, apop=1)
                    r = self.deliver()
                self.assertOutput(r, 8, ERR_8)
                self.assertEqual(server.lines,
                                 [b"APOP " + user.encode() + b" " + digest + b"\r\n", b"QUIT\r\n"])

    def test_apop_trace_and_refusal(self):
        # The trace masks the digest (it would allow an offline guess of the password);
        # the wire carries it (test_digest_of_timestamp_and_password).
        with FakePop3([RFC_GREETING, b"-ERR permission denied\r\n"]) as server:
            self.configure(server.port, user="mrose", password="tanstaafl", apop=1)
            r = self.deliver("-d")
        self.assertOutput(r, 22, POP3_HEADER + "Recv:" + RFC_GREETING.decode() +
                          "Send: APOP mrose ********\n" +
                          "Recv:-ERR permission denied\r\n" + ERR_22)


class TimeLimit(Pop3Test):
    def test_silent_server_times_out_and_nothing_more_is_sent(self):
        # The greeting comes, the answer to USER only after the limit.
        with FakePop3([GREETING, [2.0, OK], OK, OK]) as server:
            self.configure(server.port, time_out=1)
            started = time.monotonic()
            r = self.deliver("-d")
            elapsed = time.monotonic() - started
            time.sleep(1.5)
        self.assertOutput(r, 19, POP3_HEADER + "Recv:+OK ready\r\n" + "Send: USER alice\n"
                          + ERR_19)
        self.assertGreaterEqual(elapsed, 0.9)
        self.assertLess(elapsed, 8)
        self.assertEqual(server.lines, [b"USER alice\r\n"])

    def test_server_that_never_greets(self):
        with FakePop3([None]) as server:
            self.configure(server.port, time_out=1)
            r = self.deliver()
        self.assertOutput(r, 19, ERR_19)
        self.assertEqual(server.lines, [])

    def test_zero_limit_ends_at_once(self):
        with FakePop3([GREETING, OK, OK, OK]) as server:
            self.configure(server.port, time_out=0)
            started = time.monotonic()
            r = self.deliver()
            elapsed = time.monotonic() - started
        self.assertOutput(r, 19, ERR_19)
        self.assertLess(elapsed, 5)
        self.assertEqual(server.lines, [])

    def test_pause_after_login_counts_within_the_limit(self):
        with FakePop3([GREETING, OK, OK, OK]) as server:
            self.configure(server.port, wait=3000, time_out=1)
            r = self.deliver("-d")
        self.assertOutput(r, 19, POP3_HEADER + "Recv:+OK ready\r\n" + "Send: USER alice\n"
                          + "Recv:+OK\r\n" + "Send: PASS ********\n" + "Recv:+OK\r\n"
                          + "Send: QUIT\n" + "Recv:+OK\r\n" + ERR_19)
        self.assertEqual(server.lines, [b"USER alice\r\n", b"PASS secret\r\n", b"QUIT\r\n"])

    def test_negative_limit_uses_ten_seconds(self):
        # Taken as an unsigned wait, -1 seconds would be weeks.
        with FakePop3([None]) as server:
            self.configure(server.port, time_out=-1)
            started = time.monotonic()
            r = self.deliver()
            elapsed = time.monotonic() - started
        self.assertOutput(r, 19, ERR_19)
        self.assertGreaterEqual(elapsed, 9.5)
        self.assertLess(elapsed, 20)


if __name__ == "__main__":
    unittest.main()
