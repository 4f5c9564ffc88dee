"""Command pipelining (RFC 2920): where the last EHLO reply offers PIPELINING, MAIL, the
RCPTs and DATA go out in one write and the end of data with QUIT in another; the outcome
for any replies is the one the step-by-step dialogue gives, however the replies arrive."""
import unittest

import test_delivery_auth as auth
import tls_certs
from fake_smtp import (CLOSE, EHLO_PIPELINING, DeliveryTest, FakeSMTP, dialogue, error_lines,
                       greet, head, message, on, on_all, start_tls)
from harness import console
from test_tls import after_tls, tls_ini

RECIPIENTS = "a@example.test,b@example.test,c@example.test"
ENVELOPE = ["MAIL", "RCPT", "RCPT", "RCPT", "DATA"]


def recv(data):
    return b"Recv:[%d bytes] %s" % (len(data), data)


def run_of(envelope, *rest):
    """The arrivals of a delivery: EHLO alone, the envelope, then what follows."""
    return [["EHLO"], envelope] + list(rest)


class Pipelining(DeliveryTest):
    _stored = {}
    stored_form = auth.Authentication.stored_form

    def test_envelope_in_one_write_and_quit_with_the_end_of_data(self):
        # The bytes are those of the step-by-step dialogue; only their grouping differs.
        plain, server_plain = self.deliver(dialogue(recipients=3), "-Tbody", RECIPIENTS)
        self.assertClean(plain, server_plain)
        r, server = self.deliver(dialogue(recipients=3, pipelining=True), "-Tbody", RECIPIENTS)
        self.assertClean(r, server)
        self.assertEqual(server.arrivals(), run_of(ENVELOPE, ["message", "QUIT"]))
        self.assertEqual(server_plain.arrivals(),
                         [[c] for c in ["EHLO"] + ENVELOPE + ["message", "QUIT"]])
        self.assertEqual(server.commands[:-2], server_plain.commands[:-2])
        self.assertMessage(server, head(to=b"To: a@example.test,\r\n b@example.test,\r\n"
                                        b" c@example.test\r\n") + b"body\r\n.\r\n")

    def test_offer_and_setting_decide(self):
        stepwise = [[c] for c in ["EHLO"] + ENVELOPE + ["message", "QUIT"]]
        piped = run_of(ENVELOPE, ["message", "QUIT"])
        cases = [
            # name, EHLO reply, SMTP_PIPELINING line, arrivals
            ("not offered", "250-fake\r\n250-PIPELININGX\r\n250 OK\r\n", "", stepwise),
            ("turned off", EHLO_PIPELINING, "SMTP_PIPELINING=0\r\n", stepwise),
            ("turned on", EHLO_PIPELINING, "SMTP_PIPELINING=1\r\n", piped),
            ("any other value is on", "250-fake\r\n250 pipelining\r\n", "SMTP_PIPELINING=no\r\n",
             piped),
            ("an empty value is on", EHLO_PIPELINING, "SMTP_PIPELINING=\r\n", piped),
        ]
        for name, ehlo, line, arrivals in cases:
            with self.subTest(name):
                r, server = self.deliver(dialogue(recipients=3, ehlo=(ehlo,)), RECIPIENTS,
                                         ini=line)
                self.assertClean(r, server)
                self.assertEqual(server.arrivals(), arrivals)

    def test_offer_in_a_helo_reply_counts_for_nothing(self):
        script = dialogue(recipients=3)
        script[1:2] = [on("EHLO", "502 5.5.2 no\r\n"), on("HELO", "250-fake\r\n250 PIPELINING\r\n")]
        r, server = self.deliver(script, RECIPIENTS)
        self.assertClean(r, server)
        self.assertEqual(server.arrivals(),
                         [[c] for c in ["EHLO", "HELO"] + ENVELOPE + ["message", "QUIT"]])

    def test_auth_goes_alone(self):
        script = dialogue(recipients=3, pipelining=True, auth=[on("AUTH", "235 2.7.0 ok\r\n")])
        r, server = self.deliver(script, RECIPIENTS, ini=auth.Authentication.auth_ini(self, 2))
        self.assertClean(r, server)
        self.assertEqual(server.arrivals(), [["EHLO"], ["AUTH"], ENVELOPE, ["message", "QUIT"]])

    def test_starttls_goes_alone_and_the_offer_inside_tls_decides(self):
        ehlo_clear = "250-fake\r\n250-PIPELINING\r\n250 STARTTLS\r\n"
        for name, inside, piped in [("offered inside", EHLO_PIPELINING, True),
                                    ("offered only in the clear", "250-fake\r\n250 OK\r\n",
                                     False)]:
            with self.subTest(name):
                rest = dialogue(recipients=3, ehlo=(inside,))[1:]
                script = [greet("220 fake\r\n"), on("EHLO", ehlo_clear),
                          on("STARTTLS", "220 go ahead\r\n"), start_tls()] + rest
                server = FakeSMTP(script, tls=tls_certs.server_context("good"))
                with server:
                    self.write_ini(server.port, tls_ini(1))
                    r = self.vorna("-h127.0.0.1", RECIPIENTS)
                self.assertClean(r, server)
                self.assertEqual(server.clear_received.split(b"\r\n")[1:], [b"STARTTLS", b""])
                arrivals = server.arrivals()
                self.assertEqual(arrivals[:2], [["EHLO"], ["STARTTLS"]])
                self.assertEqual(arrivals[3:], [ENVELOPE, ["message", "QUIT"]] if piped else
                                 [[c] for c in ENVELOPE + ["message", "QUIT"]])
                self.assertTrue(after_tls(server).startswith(b"EHLO "))

    def test_each_refusal_gives_the_step_by_step_outcome(self):
        ok, go = b"250 ok\r\n", b"354 go ahead\r\n"
        cases = [
            # name, replies to MAIL, the three RCPTs and DATA, status, code shown
            ("MAIL", [b"530 5.7.0 auth first\r\n", b"503 no\r\n", b"503 no\r\n", b"503 no\r\n",
                      b"554 no\r\n"], 11, 530),
            ("first RCPT (a later refusal does not count)",
             [ok, b"550 5.1.1 unknown\r\n", b"553 bad\r\n", ok, go], 11, 550),
            ("middle RCPT", [ok, ok, b"551 5.1.6 moved\r\n", ok, go], 11, 551),
            ("last RCPT", [ok, ok, ok, b"452 4.5.3 too many\r\n", go], 11, 452),
            ("DATA", [ok, ok, ok, ok, b"554 5.5.1 no valid recipients\r\n"], 11, 554),
            ("250 to DATA", [ok, ok, ok, ok, b"250 what\r\n"], 11, 250),
            ("garbled RCPT reply", [ok, ok, b"\x80\xfe garbage\r\n", ok, go], 11, 0),
            ("overlong RCPT reply", [ok, b"250 " + b"x" * 5000 + b"\r\n", ok, ok, go], 10, 0),
        ]
        for name, replies, status, code in cases:
            for piped in (False, True):
                with self.subTest(name, pipelined=piped):
                    answered = next((i for i, reply in enumerate(replies)
                                     if not reply.startswith((ok, go))), len(replies))
                    if piped:
                        # The server answers the whole group at once, as it may.
                        steps = [on_all(ENVELOPE, b"".join(replies))]
                    else:
                        steps = [on(verb, reply) for verb, reply in
                                 zip(ENVELOPE, replies[:answered + 1])]
                    script = [greet("220 fake\r\n"),
                              on("EHLO", EHLO_PIPELINING if piped else "250 fake\r\n")] + steps
                    r, server = self.deliver(script, "-Tbody", RECIPIENTS)
                    self.assertEqual((r.status, r.stdout),
                                     (status, console(error_lines(status, code))), r)
                    self.assertEqual(server.problems, [])
                    # Nothing follows the refused step; pipelined, nothing follows DATA,
                    # even where DATA got its 354: no message, no end of data, no QUIT.
                    sent = ENVELOPE if piped else ENVELOPE[:answered + 1]
                    self.assertEqual([c.split(b" ")[0].rstrip(b"\r\n").decode()
                                      for c in server.commands[1:]], sent)
                    self.assertEqual(self.work_files(), [])

    def test_lost_connection_in_the_group(self):
        for name, pieces in [("after two replies", ["250 ok\r\n250 ok\r\n", CLOSE]),
                             ("inside a reply", ["250 ok\r\n250 o", CLOSE])]:
            with self.subTest(name):
                script = [greet("220 fake\r\n"), on("EHLO", EHLO_PIPELINING),
                          on_all(ENVELOPE, *pieces)]
                r, server = self.deliver(script, "-Tbody", RECIPIENTS, pause=0.1)
                self.assertEqual((r.status, r.stdout), (10, console(error_lines(10))), r)
                self.assertTrue(bytes(server.received).endswith(b"DATA\r\n"))

    def test_replies_however_they_arrive(self):
        replies = "250 2.1.0 ok\r\n250-first\r\n250 2.1.5 ok\r\n250 2.1.5 ok\r\n354 go\r\n"
        endings = "250 2.0.0 queued\r\n221 bye\r\n"
        cases = [
            ("all together", [replies], [endings], 0.05),
            ("one byte at a time", list(replies), list(endings), 0.01),
            ("split across receives", [replies[:5], replies[5:20], replies[20:50], replies[50:]],
             [endings[:10], endings[10:]], 0.1),
        ]
        for name, group, end, pause in cases:
            with self.subTest(name):
                script = [greet("220 fake\r\n"), on("EHLO", EHLO_PIPELINING),
                          on_all(["MAIL", "RCPT", "RCPT", "DATA"], *group), message(),
                          on("QUIT", *end)]
                r, server = self.deliver(script, "-Tbody", "a@example.test,b@example.test",
                                         pause=pause)
                self.assertClean(r, server)
                self.assertEqual(server.arrivals(),
                                 run_of(["MAIL", "RCPT", "RCPT", "DATA"], ["message", "QUIT"]))

    def test_end_of_data_reply_decides_with_quit_sent_along(self):
        cases = [("refused", "552 5.3.4 too big\r\n", "221 bye\r\n", 11, 552),
                 ("accepted, QUIT refused", "250 queued\r\n", "500 what\r\n", 0, 0),
                 ("accepted, closed at QUIT", "250 queued\r\n", CLOSE, 0, 0),
                 ("closed before the reply", CLOSE, None, 10, 0)]
        for name, end, quit_reply, status, code in cases:
            with self.subTest(name):
                script = [greet("220 fake\r\n"), on("EHLO", EHLO_PIPELINING),
                          on_all(["MAIL", "RCPT", "DATA"], "250 ok\r\n250 ok\r\n354 go\r\n"),
                          message(end)]
                if quit_reply is not None:
                    script.append(on("QUIT", quit_reply))
                r, server = self.deliver(script, "-Tbody", "a@example.test")
                expected = error_lines(status, code) if status else b""
                self.assertEqual((r.status, r.stdout), (status, console(expected)), r)
                self.assertTrue(bytes(server.received).endswith(b"\r\n.\r\nQUIT\r\n"))
                self.assertEqual(server.arrivals()[1], ["MAIL", "RCPT", "DATA"])

    def test_trace_shows_the_sends_of_a_group_before_their_receives(self):
        group = b"250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"
        script = [greet("220 fake\r\n"), on("EHLO", EHLO_PIPELINING),
                  on_all(["MAIL", "RCPT", "RCPT", "DATA"], group), message(),
                  on("QUIT", "250 queued\r\n221 bye\r\n")]
        r, server = self.deliver(script, "-d", "-Tx", "a@example.test,b@example.test")
        self.assertEqual((r.status, server.problems), (0, []), r)
        host = self.client_host(server)
        header = self.the_message(server)[:-len(b"\r\nx\r\n.\r\n")]
        self.assertEqual(r.stdout, console(
            recv(b"220 fake\r\n") + b"Send: EHLO " + host + b"\r\n" +
            recv(EHLO_PIPELINING.encode()) + b"[250 message ok!]\n" +
            b"Send: MAIL FROM:<>\r\n" + b"Send: RCPT TO:<a@example.test>\r\n" +
            b"Send: RCPT TO:<b@example.test>\r\n" + b"Send: DATA\r\n" + recv(group) +
            b"Send: " + header + b"Send: \r\n" + b"Send: x" + b"Send: \r\n.\r\n" +
            b"Send: QUIT\r\n" + recv(b"250 queued\r\n221 bye\r\n")))

    def test_long_envelopes_go_in_bounded_groups(self):
        # A server that answers only after reading may otherwise fill both ends' buffers.
        names = ["user%03d@example.test" % i for i in range(250)]
        r, server = self.deliver(dialogue(recipients=250, pipelining=True), ",".join(names))
        self.assertClean(r, server)
        self.assertEqual(server.arrivals(),
                         [["EHLO"], ["MAIL"] + ["RCPT"] * 99, ["RCPT"] * 100,
                          ["RCPT"] * 51 + ["DATA"], ["message", "QUIT"]])


if __name__ == "__main__":
    unittest.main()
