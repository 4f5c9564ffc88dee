"""A server that misbehaves at every step of the dialogue.

For each step of the SMTP dialogue (greeting, EHLO, HELO, every AUTH step of every method,
MAIL, each RCPT, DATA, during the message, end of data, QUIT) and of the POP3 login
(greeting, USER, PASS, APOP, QUIT), the server answers with each fault in turn: it closes,
refuses (421, 451, 554 or -ERR), stays silent for a while and then answers, answers in
one-byte pieces, sends an overlong line, NUL or 8-bit garbage, or a multi-line reply split
across pieces. Each run must end with the status that fault calls for, within a time
bound, with no work file left behind.

Silence longer than the program's own five-minute limits is not waited for here; a
shorter silence that ends in a proper answer must not disturb the delivery.
"""
import os
import time
import unittest

import test_delivery_auth as auth
import test_pop3 as pop3
from fake_pop3 import HANG_UP, FakePop3
from fake_smtp import (CLOSE, EHLO_PIPELINING, DeliveryTest, FakeSMTP, during, error_lines, greet,
                       message, on, silence)
from harness import console

SILENCE = 2.0       # seconds of silence before the proper answer
BOUND = 45.0        # no run may take longer (the program's own limits are minutes)
PAUSE = 0.05        # between the pieces of one reply
SPLIT_PAUSE = 0.3   # between the two lines of a split multi-line reply
ATTACHMENT = bytes(range(256)) * 800   # 200 KB: the message is still going out when the
                                       # server acts during it

# The faults, each turning the step's proper answer into what the server sends.
SMTP_FAULTS = [
    ("close", lambda ok: [CLOSE]),
    ("421", lambda ok: ["421 4.3.2 shutting down\r\n"]),
    ("451", lambda ok: ["451 4.3.0 local error\r\n"]),
    ("554", lambda ok: ["554 5.7.1 refused\r\n"]),
    ("silence, then the answer", lambda ok: [silence(SILENCE), ok]),
    ("one-byte pieces", lambda ok: [ok[i:i + 1] for i in range(len(ok))]),
    ("overlong line", lambda ok: [ok[:4] + "x" * 5000 + "\r\n"]),
    ("NUL garbage", lambda ok: [b"\0\0\0\0\r\n"]),
    ("8-bit garbage", lambda ok: [b"\x80\xfe\xff garbage\r\n"]),
    ("multi-line reply split", lambda ok: [ok[:3] + "-first line\r\n", silence(SPLIT_PAUSE), ok]),
]

# The outcome of each fault where a reply is judged: exit status and the server code shown.
JUDGED = {
    "close": (10, 0), "421": (11, 421), "451": (11, 451), "554": (11, 554),
    "silence, then the answer": (0, 0), "one-byte pieces": (0, 0), "overlong line": (10, 0),
    "NUL garbage": (11, 0), "8-bit garbage": (11, 0), "multi-line reply split": (0, 0),
}

CRAM_CHALLENGE = "334 " + auth.CHALLENGE_B64.decode() + "\r\n"
EHLO_OK = "250-fake\r\n250 OK\r\n"


def smtp_steps(method, ehlo=EHLO_OK):
    """The steps of a delivery that goes through: (name, kind, verb, proper answer)."""
    steps = [("greeting", "greet", None, "220 fake ESMTP ready\r\n"),
             ("EHLO", "on", "EHLO", ehlo)]
    steps += {
        0: [],
        1: [("AUTH CRAM-MD5", "on", "AUTH", CRAM_CHALLENGE),
            ("CRAM-MD5 response", "on", "", "235 2.7.0 ok\r\n")],
        2: [("AUTH PLAIN", "on", "AUTH", "235 2.7.0 ok\r\n")],
        3: [("AUTH LOGIN", "on", "AUTH", "334 VXNlcm5hbWU6\r\n"),
            ("LOGIN user name", "on", "", "334 UGFzc3dvcmQ6\r\n"),
            ("LOGIN password", "on", "", "235 2.7.0 ok\r\n")],
    }[method]
    steps += [("MAIL", "on", "MAIL", "250 2.1.0 ok\r\n"),
              ("first RCPT", "on", "RCPT", "250 2.1.5 ok\r\n"),
              ("second RCPT", "on", "RCPT", "250 2.1.5 ok\r\n"),
              ("DATA", "on", "DATA", "354 go ahead\r\n"),
              ("end of data", "message", None, "250 2.0.0 Ok: queued\r\n"),
              ("QUIT", "on", "QUIT", "221 2.0.0 bye\r\n")]
    return steps


def build(kind, verb, pieces):
    if kind == "greet":
        return greet(*pieces)
    if kind == "message":
        return message(*pieces)
    return on(verb, *pieces)


def smtp_script(method, step, pieces, helo_follows=False, ehlo=EHLO_OK):
    """The script of a delivery with the pieces as the server's action at the step.
    "HELO" faults the HELO that follows a refused EHLO; "during the message" acts while
    the message is still coming; helo_follows adds the HELO after a refused EHLO."""
    script = []
    for name, kind, verb, ok in smtp_steps(method, ehlo):
        if step == "HELO" and name == "EHLO":
            script += [on("EHLO", "502 5.5.2 unknown\r\n"), on("HELO", *pieces)]
        elif name == step:
            script.append(build(kind, verb, pieces))
            if helo_follows:
                script.append(on("HELO", "250 hi\r\n"))
        else:
            script.append(build(kind, verb, [ok]))
        if step == "during the message" and name == "DATA":
            script.append(during(1, *pieces))
    return script


class SmtpFaultMatrix(DeliveryTest):
    _stored = {}
    stored_form = auth.Authentication.stored_form
    ehlo = EHLO_OK

    def run_cell(self, method, step, fault_name, pieces, debug=False, helo_follows=False):
        ini = auth.Authentication.auth_ini(self, method) if method else ""
        server = FakeSMTP(smtp_script(method, step, pieces, helo_follows, self.ehlo), pause=PAUSE)
        args = ["-d"] if debug else []
        with server:
            self.write_ini(server.port, ini)
            started = time.monotonic()
            r = self.vorna("-h127.0.0.1", *args, "-Tbody", "-a" + self.attachment,
                           "a@example.test,b@example.test", timeout=BOUND + 15)
            elapsed = time.monotonic() - started
        self.assertLess(elapsed, BOUND, "%s / %s took %.1f s" % (step, fault_name, elapsed))
        self.assertEqual(self.work_files(), [], "%s / %s left work files" % (step, fault_name))
        return r, server

    def setUp(self):
        super().setUp()
        self.attachment = self.write("data.bin", ATTACHMENT)

    def check_step(self, step, method=0, outcome=None, faults=SMTP_FAULTS, after=None,
                   helo_after=()):
        """Runs every fault at the step. outcome maps a fault to (status, code) where it
        differs from a judged reply; after(fault, result, server, status) checks more;
        the faults in helo_after are followed by a HELO that the server accepts."""
        for fault_name, make in faults:
            with self.subTest(step=step, fault=fault_name):
                ok = dict((n, a) for n, _, _, a in smtp_steps(method, self.ehlo)).get(step,
                                                                                   EHLO_OK)
                status, code = (outcome or {}).get(fault_name) or JUDGED[fault_name]
                r, server = self.run_cell(method, step, fault_name, make(ok),
                                          helo_follows=fault_name in helo_after)
                if isinstance(status, tuple):
                    self.assertIn(r.status, status, r)
                    status = r.status
                self.assertEqual((r.status, r.stdout),
                                 (status, console(error_lines(status, code) if status else b"")),
                                 r)
                if status == 0:
                    self.assertEqual(server.problems, [])
                    self.assertEqual(server.commands[-1], b"QUIT\r\n")
                    if self.ehlo == EHLO_PIPELINING:
                        self.assertIn(["MAIL", "RCPT", "RCPT", "DATA"], server.arrivals())
                        self.assertEqual(server.arrivals()[-1][-2:], ["message", "QUIT"])
                if after:
                    after(fault_name, r, server, status)

    def test_greeting(self):
        self.check_step("greeting")

    def test_ehlo(self):
        # A refusal or garbage leads to HELO; only the connection's failures end the run.
        fallback = {"421": (0, 0), "451": (0, 0), "554": (0, 0), "NUL garbage": (0, 0),
                    "8-bit garbage": (0, 0)}

        def helo_follows(fault_name, r, server, status):
            if fault_name in fallback:
                self.assertEqual([c[:5] for c in server.commands[:3]],
                                 [b"EHLO ", b"HELO ", b"MAIL "])
        self.check_step("EHLO", outcome=fallback, after=helo_follows, helo_after=fallback)

    def test_helo(self):
        # The answer to HELO is not judged: MAIL FROM meets the server's verdict.
        ignored = {"421": (0, 0), "451": (0, 0), "554": (0, 0), "NUL garbage": (0, 0),
                   "8-bit garbage": (0, 0)}
        self.check_step("HELO", outcome=ignored)

    def test_auth_cram_md5(self):
        # A challenge on a continuation line ("334-first line") is no Base64 challenge:
        # it gets no answer.
        self.check_step("AUTH CRAM-MD5", method=1,
                        outcome={"multi-line reply split": (11, 0)})
        self.check_step("CRAM-MD5 response", method=1)

    def test_auth_plain(self):
        self.check_step("AUTH PLAIN", method=2)

    def test_auth_login(self):
        for step in ("AUTH LOGIN", "LOGIN user name", "LOGIN password"):
            self.check_step(step, method=3)

    def test_mail(self):
        self.check_step("MAIL")

    def test_each_rcpt(self):
        self.check_step("first RCPT")
        self.check_step("second RCPT")

    def test_data(self):
        # Nothing of the message goes out unless DATA got its go-ahead; a 250 is none.
        def no_message_unless_accepted(fault_name, r, server, status):
            if status:
                self.assertTrue(bytes(server.received).endswith(b"DATA\r\n"), server.received)
        faults = SMTP_FAULTS + [("250 instead of 354", lambda ok: ["250 ok\r\n"])]
        self.check_step("DATA", outcome={"250 instead of 354": (11, 250)}, faults=faults,
                        after=no_message_unless_accepted)

    def test_during_the_message(self):
        # What the server says while the message is coming is the answer that the client
        # reads after the end-of-data line; a server that hangs up makes the sending or
        # the reading fail.
        faults = [f for f in SMTP_FAULTS if f[0] not in ("one-byte pieces",
                                                        "multi-line reply split")]
        self.check_step("during the message", outcome={"close": ((9, 10), 0)}, faults=faults)

    def test_end_of_data(self):
        self.check_step("end of data")

    def test_quit(self):
        # The message was accepted: whatever happens at QUIT, the run succeeds, and the
        # trace still shows the answer.
        for fault_name, make in SMTP_FAULTS:
            with self.subTest(fault=fault_name):
                r, server = self.run_cell(0, "QUIT", fault_name, make("221 2.0.0 bye\r\n"),
                                          debug=True)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(self.the_message(server)[-5:], b"\r\n.\r\n")
                if fault_name != "close":
                    self.assertIn(console(b"Send: QUIT\r\nRecv:["), r.stdout)
                self.assertNotIn(b"ERR-", r.stdout)


class PipelinedSmtpFaultMatrix(SmtpFaultMatrix):
    """The same faults where the server offers PIPELINING: MAIL, the RCPTs and DATA come in
    one write and QUIT with the end of data, and each fault ends the run as it does when
    every command goes alone."""
    ehlo = EHLO_PIPELINING
    # The steps before the envelope go alone either way.
    test_greeting = test_ehlo = test_helo = None
    test_auth_cram_md5 = test_auth_login = None


POP3_FAILURE = {"greeting": 20, "USER": 21, "PASS": 22, "APOP": 22, "QUIT": 20}
POP3_FAULTS = [
    ("close", lambda ok: HANG_UP, False),
    ("-ERR", lambda ok: b"-ERR no\r\n", False),
    ("421", lambda ok: b"421 4.3.2 shutting down\r\n", False),
    ("silence, then the answer", lambda ok: [SILENCE, ok], True),
    ("one-byte pieces", lambda ok: [x for i in range(len(ok)) for x in (ok[i:i + 1], 0.02)],
     True),
    # The reply is taken up to its size and the rest of its line passed over.
    ("overlong +OK line", lambda ok: b"+OK " + b"x" * 5000 + b"\r\n", True),
    ("NUL garbage", lambda ok: b"\0\0\0\0\r\n", False),
    ("8-bit garbage", lambda ok: b"\x80\xfe\xff garbage\r\n", False),
    ("line split across pieces", lambda ok: [ok[:3], SPLIT_PAUSE, ok[3:]], True),
]


class Pop3FaultMatrix(pop3.Pop3Test):
    def setUp(self):
        super().setUp()
        self.attachment = self.write("data.bin", ATTACHMENT)

    def check_step(self, step):
        apop = step == "APOP"
        greeting = pop3.RFC_GREETING if apop else pop3.GREETING
        proper = [greeting] + ([pop3.OK] if apop else [pop3.OK, pop3.OK]) + [b"+OK bye\r\n"]
        position = {"greeting": 0, "USER": 1, "PASS": 2, "APOP": 1, "QUIT": len(proper) - 1}
        for fault_name, make, passes in POP3_FAULTS:
            with self.subTest(step=step, fault=fault_name):
                script = list(proper)
                script[position[step]] = make(proper[position[step]])
                with FakePop3(script) as server:
                    self.configure(server.port, apop=1 if apop else 0)
                    started = time.monotonic()
                    r = self.deliver("-a" + self.attachment)
                    elapsed = time.monotonic() - started
                self.assertLess(elapsed, BOUND)
                self.assertEqual(self.work_files(), [])
                # Past the login, the SMTP server's closed port shows error 8.
                if passes:
                    self.assertOutput(r, 8, pop3.ERR_8)
                else:
                    code = POP3_FAILURE[step]
                    self.assertOutput(r, code, getattr(pop3, "ERR_%d" % code))

    def test_greeting(self):
        self.check_step("greeting")

    def test_user(self):
        self.check_step("USER")

    def test_pass(self):
        self.check_step("PASS")

    def test_apop(self):
        self.check_step("APOP")

    def test_quit(self):
        self.check_step("QUIT")


if __name__ == "__main__":
    unittest.main()
