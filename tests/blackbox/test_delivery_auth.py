"""SMTP authentication: AUTH CRAM-MD5 (RFC 2195), AUTH PLAIN and AUTH LOGIN on the wire,
the masked lines of the debug trace, and refusals.

The password's stored form is bound to the machine, so it is made by the program itself:
its settings menu, driven through a pipe, enciphers the password into a vorna.ini."""
import base64
import hashlib
import hmac
import os
import re
import unittest

from fake_smtp import DeliveryTest, dialogue, error_lines, greet, on
from harness import console, run

USER = b"tim"
# The example of RFC 2195: this secret answers this challenge with this digest.
PASSWORD = b"tanstaaftanstaaf"
CHALLENGE = b"<1896.697170952@postoffice.reston.mci.net>"
CHALLENGE_B64 = base64.b64encode(CHALLENGE)
CRAM_RESPONSE = b"tim b913a602c7eda7a495b4e6e7334d3890"

PLAIN_LINE = b"AUTH PLAIN " + base64.b64encode(USER + b"\0" + USER + b"\0" + PASSWORD) + b"\r\n"
EHLO_WITH_AUTH = ("250-fake\r\n250-AUTH CRAM-MD5 PLAIN LOGIN\r\n250 OK\r\n",)
MENU_TITLE = "設定メニュー".encode("cp932")


def recv(data):
    return b"Recv:[%d bytes] %s" % (len(data), data)


def auth_steps(method, last_reply=b"235 2.7.0 Authentication successful\r\n"):
    """The server's side of one AUTH exchange."""
    if method == 1:
        return [on("AUTH", b"334 " + CHALLENGE_B64 + b"\r\n"), on("", last_reply)]
    if method == 2:
        return [on("AUTH", last_reply)]
    return [on("AUTH", "334 VXNlcm5hbWU6\r\n"), on("", "334 UGFzc3dvcmQ6\r\n"),
            on("", last_reply)]


def auth_lines(method):
    """What the client sends for one AUTH exchange."""
    if method == 1:
        return b"AUTH CRAM-MD5\r\n" + base64.b64encode(CRAM_RESPONSE) + b"\r\n"
    if method == 2:
        return PLAIN_LINE
    return (b"AUTH LOGIN\r\n" + base64.b64encode(USER) + b"\r\n" +
            base64.b64encode(PASSWORD) + b"\r\n")


class Authentication(DeliveryTest):
    _stored = {}

    def stored_form(self, password):
        """The stored form of a password on this machine, made by the settings menu."""
        if password in self._stored:
            return self._stored[password]
        menu_dir = os.path.join(self.dir, "menu")
        os.makedirs(menu_dir, exist_ok=True)
        ini = os.path.join(menu_dir, "vorna.ini")
        # Main menu item 2, item 10 (SMTP password), the password, item 12 (save), yes.
        answers = b"2\n10\n" + password + b"\n12\ny\n"
        with open(ini, "wb") as f:
            f.write(b"[SMTP]\r\nSMTP_AUTH=0\r\n")
        result = run([], menu_dir, self.env(), stdin=answers, timeout=60)
        if MENU_TITLE not in result.stdout:
            self.skipTest("the settings menu is not built yet: no stored form to test with")
        with open(ini, "rb") as f:
            match = re.search(rb"(?m)^SMTP_PASS=([0-9A-F]+)\r?$", f.read())
        self.assertIsNotNone(match, "the settings menu stored no SMTP password: %r" % result)
        self._stored[password] = match.group(1).decode()
        return self._stored[password]

    def auth_ini(self, method, password=PASSWORD):
        return "SMTP_AUTH=%d\r\nSMTP_USER=%s\r\nSMTP_PASS=%s\r\n" % (
            method, USER.decode(), self.stored_form(password))

    def test_each_method_on_the_wire_and_in_the_trace(self):
        masked = {
            1: b"Send: AUTH CRAM-MD5\r\n" + recv(b"334 " + CHALLENGE_B64 + b"\r\n") +
               b"[challenge key : " + CHALLENGE_B64 + b"]\n" +
               b"[challenge decode : " + CHALLENGE + b"]\n" +
               b"Send: ****************************************\n",
            2: b"Send: AUTH PLAIN ****************************************\n",
            3: b"Send: AUTH LOGIN\r\n" + recv(b"334 VXNlcm5hbWU6\r\n") +
               b"Send: " + base64.b64encode(USER) + b"\r\n" + recv(b"334 UGFzc3dvcmQ6\r\n") +
               b"Send: **********\n",
        }
        secrets = [PASSWORD, base64.b64encode(PASSWORD), PLAIN_LINE.split()[2],
                   CRAM_RESPONSE, CRAM_RESPONSE.split()[1], base64.b64encode(CRAM_RESPONSE)]
        for method in (1, 2, 3):
            with self.subTest(method=method):
                # The PLAIN server does not announce AUTH: the command goes out anyway.
                ehlo = ("250-fake\r\n250 OK\r\n",) if method == 2 else EHLO_WITH_AUTH
                script = dialogue(ehlo=ehlo, auth=auth_steps(method))
                r, server = self.deliver(script, "-d", "-Tx", "b@example.test",
                                         ini=self.auth_ini(method))
                self.assertEqual((r.status, server.problems), (0, []), r)
                host = self.client_host(server)
                self.assertEqual(bytes(server.received),
                                 b"EHLO " + host + b"\r\n" + auth_lines(method) +
                                 b"MAIL FROM:<>\r\nRCPT TO:<b@example.test>\r\nDATA\r\n" +
                                 self.the_message(server) + b"QUIT\r\n")
                trace = (recv(b"220 fake ESMTP ready\r\n") + b"Send: EHLO " + host + b"\r\n" +
                         recv("".join(ehlo).encode()) + b"[250 message ok!]\n" +
                         masked[method] + recv(b"235 2.7.0 Authentication successful\r\n") +
                         b"Send: MAIL FROM:<>\r\n")
                self.assertTrue(r.stdout.startswith(console(trace)), r.stdout)
                for secret in secrets:
                    self.assertNotIn(secret, r.stdout)

    def test_challenge_forms(self):
        # The challenge is the reply text: blanks are dropped, and it may come in pieces.
        half = len(CHALLENGE_B64) // 2
        for name, pieces in [
                ("blanks around and inside", [b"334  " + CHALLENGE_B64[:half] + b" " +
                                              CHALLENGE_B64[half:] + b" \r\n"]),
                ("in two pieces", [b"334 " + CHALLENGE_B64[:half], CHALLENGE_B64[half:] + b"\r\n"]),
                # A reply that comes along with the challenge is the next one: it answers
                # the response.
                ("the next reply along", [b"334 " + CHALLENGE_B64 + b"\r\n235 ok\r\n"])]:
            with self.subTest(name):
                answer = () if name == "the next reply along" else ("235 ok\r\n",)
                script = dialogue(auth=[on("AUTH", *pieces), on("", *answer)])
                r, server = self.deliver(script, "b@example.test", ini=self.auth_ini(1))
                self.assertClean(r, server)
                self.assertEqual(server.commands[1:3], [b"AUTH CRAM-MD5\r\n",
                                                        base64.b64encode(CRAM_RESPONSE) + b"\r\n"])

    def test_refused_login_ends_before_mail_from(self):
        for method in (1, 2, 3):
            with self.subTest(method=method):
                script = [greet("220 fake\r\n"), on("EHLO", *EHLO_WITH_AUTH)]
                script += auth_steps(method, b"535 5.7.8 Error: authentication failed\r\n")
                r, server = self.deliver(script, "-Tx", "b@example.test",
                                         ini=self.auth_ini(method))
                self.assertEqual(server.problems, [])
                self.assertEqual((r.status, r.stdout), (11, console(error_lines(11, 535))))
                host = self.client_host(server)
                self.assertEqual(bytes(server.received),
                                 b"EHLO " + host + b"\r\n" + auth_lines(method))

    def test_hostile_challenge_is_shown_whole_and_escaped(self):
        # A title change, a bell, a screen clear after a NUL: the trace shows every byte of
        # the decoded challenge, none of them raw; the digest is of the text before the NUL.
        challenge = b"<1.2@x>\x1b]0;owned\x07\x00\x1b[2J\x9b2J\x7f\r\nend"
        script = dialogue(auth=[on("AUTH", b"334 " + base64.b64encode(challenge) + b"\r\n"),
                                on("", "235 ok\r\n")])
        r, server = self.deliver(script, "-d", "b@example.test", ini=self.auth_ini(1))
        self.assertEqual((r.status, server.problems), (0, []), r)
        self.assertIn(console(b"[challenge decode : <1.2@x>\\x1b]0;owned\\x07\\x00\\x1b[2J"
                              b"\x9b2J\\x7f\r\nend]\n"), r.stdout)
        for raw in (b"\x1b", b"\x07", b"\x00", b"\x7f"):
            self.assertNotIn(raw, r.stdout)
        digest = hmac.new(PASSWORD, b"<1.2@x>\x1b]0;owned\x07", hashlib.md5).hexdigest()
        self.assertEqual(server.commands[2],
                         base64.b64encode(USER + b" " + digest.encode()) + b"\r\n")

    def test_challenge_that_is_not_base64_gets_no_answer(self):
        script = [greet("220 fake\r\n"), on("EHLO", *EHLO_WITH_AUTH),
                  on("AUTH", "334 PDE4OTYu#jk3\r\n")]
        r, server = self.deliver(script, "-Tx", "b@example.test", ini=self.auth_ini(1))
        self.assertEqual(server.problems, [])
        self.assertEqual((r.status, r.stdout), (11, console(error_lines(11))))
        host = self.client_host(server)
        self.assertEqual(bytes(server.received), b"EHLO " + host + b"\r\nAUTH CRAM-MD5\r\n")

    def test_other_settings_send_no_auth(self):
        for value in (0, 6, -1):
            with self.subTest(smtp_auth=value):
                r, server = self.deliver(dialogue(ehlo=EHLO_WITH_AUTH), "b@example.test",
                                         ini="SMTP_AUTH=%d\r\nSMTP_USER=tim\r\n" % value)
                self.assertClean(r, server)
                self.assertEqual(server.commands[1], b"MAIL FROM:<>\r\n")


if __name__ == "__main__":
    unittest.main()
