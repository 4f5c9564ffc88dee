"""OAuth 2.0 sign-in (AUTH XOAUTH2 and AUTH OAUTHBEARER) and passwords or tokens from a
helper command (SMTP_PASS_COMMAND, POP3_PASS_COMMAND), against the scripted servers.

The helper commands are tiny commands of the system's own shell (POSIX /bin/sh, Windows
cmd.exe) that print a file made by the test, so the secret is known to the test only."""
import base64
import hashlib
import os
import re
import unittest

import tls_certs
from fake_pop3 import FakePop3, closed_port
from fake_smtp import (BEARER_CHALLENGE, BEARER_REFUSAL, DeliveryTest, FakeSMTP, bearer_auth,
                       dialogue, error_lines, greet, on, start_tls)
from harness import WINDOWS, ProgramTest, console, native_path, run

USER = "alice@example.test"
TOKEN = "ya29.a0AfB_byC-test-token-0123456789"
MECHANISMS = {4: "XOAUTH2", 5: "OAUTHBEARER"}
EHLO_BEARER = ("250-fake\r\n250-AUTH XOAUTH2 OAUTHBEARER\r\n250 OK\r\n",)
MASK = b"****************************************"
MENU_TITLE = "設定メニュー".encode("cp932")


def quoted(path):
    return '"%s"' % native_path(path)


class Helper:
    """Commands of the system's shell, as a user would write them in vorna.ini."""

    @staticmethod
    def print_file(path):
        return ("cmd /c type %s" if WINDOWS else "cat %s") % quoted(path)

    @staticmethod
    def print_file_then_fail(path):
        return ("cmd /c \"type %s & exit 3\"" if WINDOWS else "cat %s; exit 3") % quoted(path)

    # Prints nothing at all, and ends well.
    silent = "cmd /c rem" if WINDOWS else "true"
    # Prints an empty first line, then a password on the second.
    empty_first_line = "cmd /c \"echo.& echo secret\"" if WINDOWS else "echo; echo secret"
    # No such program.
    missing = "C:\\nonexistent\\helper.exe" if WINDOWS else "/nonexistent/helper"
    # Reads its standard input to the end, then prints what it read and a token: with an
    # empty input the token is the first line.
    reads_input = ("cmd /c \"findstr /r \".*\" & echo from-helper\"" if WINDOWS
                   else "cat; echo from-helper")
    # A sign-in prompt on standard error, the token on standard output.
    prompts = ("cmd /c \"echo open-the-browser 1>&2 & echo from-helper\"" if WINDOWS
               else "echo open-the-browser >&2; echo from-helper")


def xoauth2(user, token):
    return b"user=%s\x01auth=Bearer %s\x01\x01" % (user.encode(), token.encode())


def oauthbearer(user, port, token, host="127.0.0.1"):
    return b"n,a=%s,\x01host=%s\x01port=%d\x01auth=Bearer %s\x01\x01" % (
        user.encode(), host.encode(), port, token.encode())


class BearerTest(DeliveryTest):
    _stored = {}

    def secret_file(self, text, name="secret.txt"):
        return self.write(name, text.encode("ascii") if isinstance(text, str) else text,
                          directory=self.dir)

    def command_ini(self, method, command, user=USER):
        return "SMTP_AUTH=%d\r\nSMTP_USER=%s\r\nSMTP_PASS_COMMAND=%s\r\n" % (method, user, command)

    def stored_token(self, token):
        """The stored form of a token on this machine, entered through the settings menu
        (item 10 under method 4 takes a token) and read back from the saved file."""
        if token in self._stored:
            return self._stored[token]
        menu_dir = os.path.join(self.dir, "menu")
        os.makedirs(menu_dir, exist_ok=True)
        ini = os.path.join(menu_dir, "vorna.ini")
        with open(ini, "wb") as f:
            f.write(b"[SMTP]\r\nSMTP_AUTH=4\r\n")
        answers = ("2\n10\n%s\n12\ny\n" % token).encode("ascii")
        result = run([], menu_dir, self.env(), stdin=answers, timeout=60)
        self.assertIn(MENU_TITLE, result.stdout)
        with open(ini, "rb") as f:
            found = re.search(rb"(?m)^SMTP_PASS=([0-9A-F]+)\r?$", f.read())
        self.assertIsNotNone(found, "no token stored: %r" % result)
        self.assertNotIn(token.encode(), result.stdout if len(token) > 64 else b"")
        self._stored[token] = found.group(1).decode()
        return self._stored[token]

    def stored_ini(self, method, token, user=USER):
        return "SMTP_AUTH=%d\r\nSMTP_USER=%s\r\nSMTP_PASS=%s\r\n" % (
            method, user, self.stored_token(token))

    def bearer_delivery(self, method, token):
        return dialogue(ehlo=EHLO_BEARER, auth=[bearer_auth(MECHANISMS[method], token)])

    def assertNoSecret(self, result, *secrets):
        for secret in secrets:
            secret = secret.encode() if isinstance(secret, str) else secret
            self.assertNotIn(secret, result.stdout)
            self.assertNotIn(secret, result.stderr)


class Mechanisms(BearerTest):
    def test_each_mechanism_with_a_stored_token_and_from_a_command(self):
        path = self.secret_file(TOKEN + "\r\n")
        for method, mechanism in MECHANISMS.items():
            for source in ("stored", "command"):
                with self.subTest(mechanism=mechanism, source=source):
                    ini = (self.stored_ini(method, TOKEN) if source == "stored"
                           else self.command_ini(method, Helper.print_file(path)))
                    r, server = self.deliver(self.bearer_delivery(method, TOKEN), "-Tx",
                                             "b@example.test", ini=ini)
                    self.assertClean(r, server)
                    expected = (xoauth2(USER, TOKEN) if method == 4
                                else oauthbearer(USER, server.port, TOKEN))
                    self.assertEqual(server.bearer, [expected])
                    # The initial response travels in the AUTH command itself.
                    self.assertEqual(server.commands[1], b"AUTH %s %s\r\n" % (
                        mechanism.encode(), base64.b64encode(expected)))
                    self.assertEqual(server.commands[2], b"MAIL FROM:<>\r\n")

    def test_oauthbearer_escapes_the_user_name(self):
        path = self.secret_file(TOKEN)
        r, server = self.deliver(self.bearer_delivery(5, TOKEN), "b@example.test",
                                 ini=self.command_ini(5, Helper.print_file(path), user="a,b=c"))
        self.assertClean(r, server)
        self.assertTrue(server.bearer[0].startswith(b"n,a=a=2Cb=3Dc,\x01host=127.0.0.1\x01"),
                        server.bearer)

    def test_long_tokens_initial_response_or_after_the_334(self):
        # A 6 KB token still fits the 12,288-octet command line; a 10 KB one does not and
        # goes after the server's empty 334, as RFC 4954 requires. XOAUTH2 takes the token
        # from a command, OAUTHBEARER from its stored form (made by the menu).
        for size, initial in ((6 * 1024, True), (10 * 1024, False)):
            token = ("t" * size)[:-4] + "%04d" % size
            path = self.secret_file(token + "\n")
            for method, mechanism in MECHANISMS.items():
                with self.subTest(size=size, mechanism=mechanism):
                    ini = (self.command_ini(method, Helper.print_file(path)) if method == 4
                           else self.stored_ini(method, token))
                    r, server = self.deliver(self.bearer_delivery(method, token), "-d", "-Tx",
                                             "b@example.test", ini=ini)
                    self.assertEqual((r.status, server.problems), (0, []), r.stdout[-300:])
                    self.assertEqual(len(server.bearer), 1)
                    self.assertIn(b"auth=Bearer " + token.encode() + b"\x01\x01", server.bearer[0])
                    auth_line = server.commands[1]
                    if initial:
                        self.assertLessEqual(len(auth_line), 12288)
                        self.assertIn(console(b"Send: AUTH " + mechanism.encode() + b" " + MASK +
                                              b"\n"), r.stdout)
                    else:
                        self.assertEqual(auth_line, b"AUTH %s\r\n" % mechanism.encode())
                        self.assertIn(console(b"Send: AUTH " + mechanism.encode() + b"\r\n"),
                                      r.stdout)
                        self.assertIn(console(b"Send: " + MASK + b"\n"), r.stdout)
                    self.assertNoSecret(r, token[:64], base64.b64encode(server.bearer[0])[:64])

    def test_refused_token_answers_the_error_challenge_then_fails_with_11(self):
        for method, mechanism in MECHANISMS.items():
            for debug in (False, True):
                with self.subTest(mechanism=mechanism, debug=debug):
                    script = [greet("220 fake\r\n"), on("EHLO", *EHLO_BEARER),
                              bearer_auth(mechanism, "the-token-the-server-knows")]
                    args = ["-d"] if debug else []
                    r, server = self.deliver(script, *args, "-Tx", "b@example.test",
                                             ini=self.stored_ini(method, TOKEN))
                    self.assertEqual(server.problems, [])
                    self.assertEqual(r.status, 11, r)
                    answer = b"\r\n" if method == 4 else b"AQ==\r\n"
                    self.assertEqual(server.commands[2:], [answer], "nothing after the refusal")
                    self.assertTrue(r.stdout.endswith(console(error_lines(11, 535))), r.stdout)
                    error_line = console(b"[bearer error : status=401 "
                                         b"scope=https://mail.example.test/]\n")
                    if debug:
                        # The challenge, the decoded error, the answer, the refusal: in order.
                        trace = r.stdout
                        at = [trace.index(console(b"Recv:[%d bytes] " % len(BEARER_CHALLENGE) +
                                                  BEARER_CHALLENGE)),
                              trace.index(error_line),
                              trace.index(console(b"Send: " + answer)),
                              trace.index(console(b"Recv:[%d bytes] " % len(BEARER_REFUSAL) +
                                                  BEARER_REFUSAL))]
                        self.assertEqual(at, sorted(at))
                    else:
                        self.assertEqual(r.stdout, console(error_lines(11, 535)))
                    self.assertNoSecret(r, TOKEN, base64.b64encode(server.bearer[0]))

    def test_mechanisms_inside_tls(self):
        path = self.secret_file(TOKEN + "\n")
        ca = native_path(tls_certs.path("ca.pem"))
        for method, mechanism in MECHANISMS.items():
            with self.subTest(mechanism=mechanism):
                script = [greet("220 fake ESMTP ready\r\n"),
                          on("EHLO", "250-fake\r\n250-STARTTLS\r\n250 OK\r\n"),
                          on("STARTTLS", "220 2.0.0 Ready to start TLS\r\n"), start_tls()]
                script += self.bearer_delivery(method, TOKEN)[1:]
                server = FakeSMTP(script, tls=tls_certs.server_context("good"))
                with server:
                    self.write_ini(server.port, self.command_ini(method, Helper.print_file(path)) +
                                   "SMTP_SSL=1\r\n[SSL]\r\nSSL_CA_FILE=%s\r\n" % ca)
                    r = self.vorna("-d", "-h127.0.0.1", "-Tx", "b@example.test")
                self.assertEqual((r.status, server.problems, server.tls_error), (0, [], None), r)
                # Nothing of the token before the handshake, all of it inside.
                self.assertNotIn(b"Bearer", server.clear_received)
                self.assertNotIn(b"AUTH", server.clear_received)
                self.assertEqual(len(server.bearer), 1)
                self.assertIn(TOKEN.encode(), server.bearer[0])
                self.assertNoSecret(r, TOKEN)


class PasswordCommands(BearerTest):
    def plain_ini(self, command):
        return self.command_ini(2, command, user="tim")

    def plain_line(self, password):
        return b"AUTH PLAIN " + base64.b64encode(b"tim\0tim\0" + password) + b"\r\n"

    def test_first_line_only_without_its_line_end(self):
        for name, content in [("CR LF and more lines", b"pass word\r\nsecond line\r\n"),
                              ("no line end", b"pass word")]:
            path = self.secret_file(content)
            with self.subTest(name):
                r, server = self.deliver(dialogue(auth=[on("AUTH", "235 ok\r\n")]),
                                         "b@example.test", ini=self.plain_ini(Helper.print_file(path)))
                self.assertClean(r, server)
                self.assertEqual(server.commands[1], self.plain_line(b"pass word"))

    def test_command_gets_empty_input_and_shares_standard_error(self):
        for name, command in [("input", Helper.reads_input), ("prompt", Helper.prompts)]:
            with self.subTest(name):
                server = FakeSMTP(dialogue(auth=[on("AUTH", "235 ok\r\n")]))
                with server:
                    self.write_ini(server.port, self.plain_ini(command))
                    # What the caller has on standard input never reaches the helper.
                    r = self.vorna("-d", "-h127.0.0.1", "b@example.test",
                                   stdin=b"typed-at-the-terminal\n")
                self.assertEqual((r.status, server.problems), (0, []), r)
                self.assertEqual(server.commands[1], self.plain_line(b"from-helper"))
                self.assertNoSecret(r, "from-helper", base64.b64encode(b"tim\0tim\0from-helper"))
                if name == "prompt":
                    self.assertIn(b"open-the-browser", r.stderr)

    def test_failing_commands_end_with_26_before_anything_is_sent(self):
        path = self.secret_file("secret\n")
        attachment = self.write("a.bin", b"data")
        for name, command in [("non-zero status", Helper.print_file_then_fail(path)),
                              ("no output", Helper.silent),
                              ("empty first line", Helper.empty_first_line),
                              ("cannot be started", Helper.missing)]:
            for method in (2, 4):
                with self.subTest(name, method=method):
                    r, server = self.deliver([greet("220 fake\r\n")], "-d", "-aa.bin",
                                             "b@example.test", ini=self.command_ini(method, command))
                    self.assertEqual(r.status, 26, r)
                    self.assertEqual(r.stdout, console(error_lines(26)))
                    self.assertFalse(server.connected, "no connection was made")
                    self.assertEqual(self.work_files(), [])
                    self.assertNoSecret(r, "secret")
        self.assertTrue(os.path.exists(attachment))

    def test_tokens_and_passwords_that_could_add_fields_end_with_26(self):
        # A token is visible ASCII; 0x01 would add a field to the bearer message, a NUL
        # one to AUTH PLAIN. Nothing connects.
        cases = [(4, b"tok\x01host=evil"), (5, b"tok\x01host=evil"), (4, b"tok\0en"),
                 (4, b"tok en"), (5, b"tok\ten"), (4, "tok\u00e9n".encode("utf-8")),
                 (4, b"tok\x7f"), (2, b"pass\0word"), (3, b"\0")]
        for method, secret in cases:
            if WINDOWS and b"\0" in secret:
                continue  # "type" stops at a NUL; the check after the command is shared
            with self.subTest(method=method, secret=secret):
                path = self.secret_file(secret + b"\r\n")
                r, server = self.deliver([greet("220 fake\r\n")], "-d", "b@example.test",
                                         ini=self.command_ini(method, Helper.print_file(path)))
                self.assertEqual(r.status, 26, r)
                self.assertEqual(r.stdout, console(error_lines(26)))
                self.assertFalse(server.connected, "no connection was made")
        # An 8 KB token of every character a token may hold is sent whole.
        visible = bytes(range(0x21, 0x7F)).decode("ascii")
        token = (visible * (8192 // len(visible) + 1))[:8192]
        path = self.secret_file(token + "\n")
        r, server = self.deliver(self.bearer_delivery(4, token), "b@example.test",
                                 ini=self.command_ini(4, Helper.print_file(path)))
        self.assertClean(r, server)
        self.assertEqual(server.bearer, [xoauth2(USER, token)])

    def test_no_command_or_no_authentication_runs_nothing(self):
        # A command is only run when it is needed: without authentication the key is idle.
        marker = os.path.join(self.dir, "ran")
        command = ("cmd /c \"echo x > %s\"" if WINDOWS else "touch %s") % quoted(marker)
        r, server = self.deliver(dialogue(), "b@example.test",
                                 ini="SMTP_AUTH=0\r\nSMTP_PASS_COMMAND=%s\r\n" % command)
        self.assertClean(r, server)
        self.assertFalse(os.path.exists(marker))


class Pop3Commands(ProgramTest):
    GREETING = b"+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n"

    def configure(self, pop_port, command, apop=0):
        self.write("vorna.ini",
                   "[POP3]\nPOP3_USE=1\nAPOP_USE=%d\nPOP3_SERVER=127.0.0.1\nPOP3_USER=alice\n"
                   "POP3_PORT=%d\nPOP3_AFTER_WAIT=0\nPOP3_TIME_OUT=5\nPOP3_PASS_COMMAND=%s\n"
                   "[SMTP]\nSMTP_PORT=%d\n" % (apop, pop_port, command, closed_port()))

    def test_user_pass_and_apop_with_the_command_password(self):
        path = self.write("pw.txt", b"tanstaaf\r\n", directory=self.dir)
        digest = hashlib.md5(b"<1896.697170952@dbc.mtview.ca.us>tanstaaf").hexdigest()
        for apop, script, lines in [
                (0, [self.GREETING, b"+OK\r\n", b"+OK\r\n", b"+OK\r\n"],
                 [b"USER alice\r\n", b"PASS tanstaaf\r\n", b"QUIT\r\n"]),
                (1, [self.GREETING, b"+OK\r\n", b"+OK\r\n"],
                 [b"APOP alice " + digest.encode() + b"\r\n", b"QUIT\r\n"])]:
            with self.subTest(apop=apop):
                with FakePop3(script) as server:
                    self.configure(server.port, Helper.print_file(path), apop=apop)
                    r = self.vorna("-d", "-h127.0.0.1", "b@example.test")
                # The login went through; the SMTP port is closed (error 8).
                self.assertEqual(r.status, 8, r)
                self.assertEqual(server.lines, lines)
                self.assertNotIn(b"tanstaaf", r.stdout)

    def test_command_time_is_outside_the_login_time_limit(self):
        path = self.write("pw.txt", b"tanstaaf\n", directory=self.dir)
        slow = ("cmd /c \"ping -n 3 127.0.0.1 >NUL & type %s\"" if WINDOWS
                else "sleep 2; cat %s") % quoted(path)
        with FakePop3([self.GREETING, b"+OK\r\n", b"+OK\r\n", b"+OK\r\n"]) as server:
            self.configure(server.port, slow)
            self.write("vorna.ini", open(os.path.join(self.cwd, "vorna.ini")).read().replace(
                "POP3_TIME_OUT=5", "POP3_TIME_OUT=1"))
            r = self.vorna("-h127.0.0.1", "b@example.test")
        self.assertEqual(r.status, 8, r)
        self.assertEqual(server.lines[1], b"PASS tanstaaf\r\n")

    def test_failing_command_ends_with_26_before_the_login(self):
        with FakePop3([self.GREETING]) as server:
            self.configure(server.port, Helper.silent)
            r = self.vorna("-h127.0.0.1", "b@example.test")
        self.assertEqual((r.status, r.stdout), (26, console(error_lines(26))))
        self.assertEqual(server.connections, 0)


if __name__ == "__main__":
    unittest.main()
