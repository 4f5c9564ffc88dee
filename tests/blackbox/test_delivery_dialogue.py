"""The SMTP dialogue as the server sees it and as the console shows it: greeting, EHLO in
one or several pieces, the HELO fall-back, MAIL FROM and RCPT TO, refusals and lost
connections, and the debug trace of all of it."""
import unittest

from fake_smtp import (CLOSE, DeliveryTest, FakeSMTP, close, closed_port, dialogue,
                       error_lines, greet, head, message, on)
from harness import UNRESOLVABLE, console

RCPT_B = b"RCPT TO:<b@example.test>\r\n"


def recv(text):
    """The debug echo of one received piece."""
    data = text.encode() if isinstance(text, str) else text
    return b"Recv:[%d bytes] %s" % (len(data), data)


class Dialogue(DeliveryTest):
    def test_a_plain_delivery(self):
        r, server = self.deliver(dialogue(), "-fa@example.test", "-sHello", "-Tbody text",
                                 "b@example.test")
        self.assertClean(r, server)
        host = self.client_host(server)
        self.assertMessage(server, head(frm=b"From: a@example.test\r\n", subject=b"Hello") +
                           b"body text\r\n.\r\n")
        self.assertEqual(bytes(server.received),
                         b"EHLO " + host + b"\r\nMAIL FROM:<a@example.test>\r\n" + RCPT_B +
                         b"DATA\r\n" + self.the_message(server) + b"QUIT\r\n")

    def test_debug_trace_of_pieces(self):
        # The greeting arrives in two pieces; the EHLO reply in the ways a server may cut it.
        greeting = greet("220 re", "ady\r\n")
        greeting_trace = recv("220 re") + b"Waiting CRLF\n" + recv("ady\r\n")
        cases = [
            ("all lines together", ["250-fake\r\n250-AUTH CRAM-MD5\r\n250 OK\r\n"],
             recv("250-fake\r\n250-AUTH CRAM-MD5\r\n250 OK\r\n") + b"[250 message ok!]\n"),
            ("first line alone", ["250-fake\r\n", "250-AUTH LOGIN\r\n250 OK\r\n"],
             recv("250-fake\r\n") + recv("250-AUTH LOGIN\r\n250 OK\r\n") +
             b"[250 message2 ok!]\n"),
            ("cut inside the first line", ["250-fa", "ke\r\n250 OK\r\n"],
             recv("250-fa") + b"Waiting CRLF\n" + recv("ke\r\n250 OK\r\n") +
             b"[250 message ok!]\n"),
            ("cut inside a further piece", ["250-fake\r\n", "250-AU", "TH PLAIN\r\n250 OK\r\n"],
             recv("250-fake\r\n") + recv("250-AU") + b"Waiting CRLF..\n" +
             recv("TH PLAIN\r\n250 OK\r\n") + b"[250 message2 ok!]\n"),
        ]
        for name, ehlo, ehlo_trace in cases:
            with self.subTest(name):
                script = dialogue(ehlo=ehlo)
                script[0] = greeting
                r, server = self.deliver(script, "-d", "-Tx", "b@example.test")
                self.assertEqual((r.status, server.problems), (0, []), r)
                host = self.client_host(server)
                date = self.assertMessage(server, head() + b"x\r\n.\r\n")
                header = self.the_message(server)[:-len(b"\r\nx\r\n.\r\n")]
                expected = (greeting_trace + b"Send: EHLO " + host + b"\r\n" + ehlo_trace +
                            b"Send: MAIL FROM:<>\r\n" + recv("250 ok\r\n") +
                            b"Send: " + RCPT_B + recv("250 ok\r\n") +
                            b"Send: DATA\r\n" + recv("354 go ahead\r\n") +
                            b"Send: " + header + b"Send: \r\n" + b"Send: x" +
                            b"Send: \r\n.\r\n" + recv("250 2.0.0 Ok: queued\r\n") +
                            b"Send: QUIT\r\n" + recv("221 bye\r\n"))
                self.assertIn(date, header)
                self.assertEqual(r.stdout, console(expected))

    def test_helo_fallback(self):
        # A refused EHLO is followed by HELO with the same name; the HELO answer is not
        # judged, MAIL FROM meets the server's verdict.
        for name, ehlo, helo in [("HELO accepted", "502 5.5.2 unknown\r\n", "250 hi\r\n"),
                                 ("HELO refused too", "500 no\r\n", "501 no either\r\n")]:
            with self.subTest(name):
                script = dialogue(ehlo=(ehlo,))
                script.insert(2, on("HELO", helo))
                r, server = self.deliver(script, "-d", "b@example.test")
                self.assertEqual((r.status, server.problems), (0, []), r)
                host = self.client_host(server)
                self.assertEqual(server.commands[:3],
                                 [b"EHLO " + host + b"\r\n", b"HELO " + host + b"\r\n",
                                  b"MAIL FROM:<>\r\n"])
                trace = (recv(ehlo) + b"Send: HELO " + host + b"\r\n" + recv(helo) +
                         (b"[250 message ok!]\n" if helo.startswith("250") else b"") +
                         b"Send: MAIL FROM:<>\r\n")
                self.assertIn(console(trace), r.stdout)

    def test_greeting_in_two_pieces_is_read_to_its_last_line(self):
        # A two-line greeting whose second line comes a moment later: EHLO goes out only
        # after the last line, and the EHLO reply is judged on its own.
        script = dialogue(ehlo=("250-fake\r\n250 OK\r\n",))
        script[0] = greet("220-welcome\r\n", "220 ready\r\n")
        r, server = self.deliver(script, "-d", "b@example.test")
        self.assertEqual((r.status, server.problems), (0, []), r)
        host = self.client_host(server)
        self.assertTrue(r.stdout.startswith(console(
            recv("220-welcome\r\n") + b"Waiting CRLF\n" + recv("220 ready\r\n") +
            b"Send: EHLO " + host + b"\r\n" + recv("250-fake\r\n250 OK\r\n") +
            b"[250 message ok!]\n" + b"Send: MAIL FROM:<>\r\n")), r.stdout)

    def test_split_rcpt_reply_then_refused_data_sends_no_message(self):
        # RCPT answered in two pieces, DATA refused: the second piece belongs to the RCPT
        # reply, so the refusal ends the run and the body's lines never reach the server.
        body = "-TRSET\\nMAIL FROM:<x@evil.test>\\nRCPT TO:<y@evil.test>"
        script = [greet("220 fake\r\n"), on("EHLO", "250 fake\r\n"), on("MAIL", "250 ok\r\n"),
                  on("RCPT", "250-first\r\n", "250 second\r\n"),
                  on("DATA", "554 5.5.1 no valid recipients\r\n")]
        r, server = self.deliver(script, body, "b@example.test")
        self.assertEqual((r.status, r.stdout), (11, console(error_lines(11, 554))), r)
        self.assertTrue(bytes(server.received).endswith(RCPT_B + b"DATA\r\n"), server.received)
        self.assertEqual(self.work_files(), [])

    def test_trace_escapes_the_servers_control_bytes(self):
        # A greeting that would retitle and clear the terminal is shown escaped; the
        # reply itself is still a proper greeting.
        hostile = b"220 \x1b]0;owned\x07\x1b[2J ready\x00\r\n"
        script = dialogue()
        script[0] = greet(hostile)
        r, server = self.deliver(script, "-d", "b@example.test")
        self.assertEqual((r.status, server.problems), (0, []), r)
        self.assertTrue(r.stdout.startswith(console(
            b"Recv:[%d bytes] 220 \\x1b]0;owned\\x07\\x1b[2J ready\\x00\r\n" % len(hostile))),
            r.stdout)
        self.assertNotIn(b"\x1b", r.stdout)
        self.assertNotIn(b"\x07", r.stdout)

    def test_server_by_name_and_port_low_bits(self):
        with FakeSMTP(dialogue()) as server:
            self.write_ini(server.port + 65536)
            r = self.vorna("-hlocalhost", "b@example.test")
        self.assertClean(r, server)
        self.assertEqual(server.commands[1:3], [b"MAIL FROM:<>\r\n", RCPT_B])

    def test_failures_end_the_dialogue(self):
        ok = "250 ok\r\n"
        start = [greet("220 fake\r\n"), on("EHLO", "250 fake\r\n")]
        cases = [
            # name, script, exit status, reply code shown, commands the server got
            ("greeting refused", [greet("554 go away\r\n")], 11, 554, []),
            ("greeting never ends", [greet("220 fake"), close()], 10, 0, []),
            # A reply that fills the whole reply buffer without a line end.
            ("greeting too long", [greet("220 " + "x" * 4091)], 10, 0, []),
            ("421 in a further EHLO piece",
             [greet("220 fake\r\n"), on("EHLO", "250-fake\r\n", "421 closing\r\n")], 25, 0,
             ["EHLO"]),
            ("MAIL refused", start + [on("MAIL", "530 auth first\r\n")], 11, 530,
             ["EHLO", "MAIL"]),
            ("closed instead of the MAIL reply", start + [on("MAIL", CLOSE)], 10, 0,
             ["EHLO", "MAIL"]),
            ("second of three recipients refused",
             start + [on("MAIL", ok), on("RCPT", ok), on("RCPT", "550 5.1.1 unknown\r\n")],
             11, 550, ["EHLO", "MAIL", "RCPT", "RCPT"]),
            ("DATA refused", start + [on("MAIL", ok), on("RCPT", ok), on("RCPT", ok),
                                      on("RCPT", ok), on("DATA", "554 no valid recipients\r\n")],
             11, 554, ["EHLO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA"]),
            ("message refused", start + [on("MAIL", ok), on("RCPT", ok), on("RCPT", ok),
                                         on("RCPT", ok), on("DATA", "354 go\r\n"),
                                         message("552 too big\r\n")],
             11, 552, ["EHLO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "message"]),
            ("closed before the message was accepted",
             start + [on("MAIL", ok), on("RCPT", ok), on("RCPT", ok), on("RCPT", ok),
                      on("DATA", "354 go\r\n"), message(CLOSE)],
             10, 0, ["EHLO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "message"]),
            # The message was accepted: a server that refuses QUIT or hangs up instead of
            # answering it does not turn a delivery into a failure.
            ("QUIT refused", dialogue(recipients=3, quit=("500 what\r\n",)), 0, 0,
             ["EHLO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "message", "QUIT"]),
            ("closed instead of the QUIT reply", dialogue(recipients=3, quit=(CLOSE,)), 0, 0,
             ["EHLO", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "message", "QUIT"]),
        ]
        for name, script, status, reply_code, commands in cases:
            with self.subTest(name):
                r, server = self.deliver(script, "-Tbody", "a@example.test,b@example.test,"
                                         "c@example.test")
                self.assertEqual(server.problems, [])
                expected = error_lines(status, reply_code) if status else b""
                self.assertEqual((r.status, r.stdout), (status, console(expected)), r)
                got = [c.split(b" ")[0].rstrip(b"\r\n").decode()
                       if not c.endswith(b"\r\n.\r\n") else "message" for c in server.commands]
                self.assertEqual(got, commands)
                self.assertEqual(bytes(server.received), b"".join(server.commands))

    def test_silent_keeps_the_trace_and_drops_the_error_lines(self):
        script = [greet("220 fake\r\n"), on("EHLO", "250 fake\r\n"),
                  on("MAIL", "550 no\r\n")]
        r, server = self.deliver(script, "-d", "-S", "b@example.test")
        host = self.client_host(server)
        self.assertEqual(r.status, 11)
        self.assertEqual(r.stdout, console(
            recv("220 fake\r\n") + b"Send: EHLO " + host + b"\r\n" + recv("250 fake\r\n") +
            b"[250 message ok!]\n" + b"Send: MAIL FROM:<>\r\n" + recv("550 no\r\n")))

    def test_no_server_to_talk_to(self):
        cases = [("connection refused", ["-h127.0.0.1"], 8),
                 ("name that cannot be resolved", ["-h" + UNRESOLVABLE], 13)]
        for name, args, status in cases:
            with self.subTest(name):
                self.write_ini(closed_port())
                r = self.vorna(*args, "b@example.test")
                self.assertEqual((r.status, r.stdout), (status, console(error_lines(status))))

    def test_mail_from_forms(self):
        cases = [
            # -f value, MAIL FROM line, From: field
            ("Taro Yamada  <taro@example.test>", b"MAIL FROM:<taro@example.test>\r\n",
             b"From: Taro Yamada <taro@example.test>\r\n"),
            ("taro@example.test", b"MAIL FROM:<taro@example.test>\r\n",
             b"From: taro@example.test\r\n"),
            ("<taro@example.test> (office)", b"MAIL FROM:<taro@example.test> (office)\r\n",
             b"From: <taro@example.test> (office)\r\n"),
            ("a <b> <c@example.test>", b"MAIL FROM:<c@example.test>\r\n",
             b"From: a <c@example.test>\r\n"),
            ("Taro <unterminated", b"MAIL FROM:<Taro <unterminated>\r\n",
             b"From: Taro <unterminated\r\n"),
            # A display name in Japanese is written as typed, not encoded.
            ("山田 太郎 <taro@example.test>", b"MAIL FROM:<taro@example.test>\r\n",
             "From: 山田 太郎 <taro@example.test>\r\n".encode("cp932")),
        ]
        for sender, mail, frm in cases:
            with self.subTest(sender):
                r, server = self.deliver(dialogue(), b"-f" + sender.encode("cp932"),
                                         "b@example.test")
                self.assertClean(r, server)
                self.assertEqual(server.commands[1], mail)
                self.assertMessage(server, head(frm=frm) + b"\r\n.\r\n")

    def test_recipient_walk(self):
        cases = [
            # recipient list, RCPT addresses, To text, Cc text
            ("a@x,CC:b@x,BCC:c@x,d@x", ["a@x", "b@x", "c@x", "d@x"],
             b"To: a@x,\r\n d@x\r\n", b"Cc: b@x\r\n"),
            ("a@x,CC:b@x,CC:c@x", ["a@x", "b@x", "c@x"], b"To: a@x\r\n",
             b"Cc: b@x,\r\n c@x\r\n"),
            ("BCC:c@x", ["c@x"], b"To:\r\n", b""),
            ("a@x,,b@x", ["a@x"], b"To: a@x\r\n", b""),
            ("a@x,", ["a@x"], b"To: a@x\r\n", b""),
            ("cc:b@x,bcc:c@x", ["cc:b@x", "bcc:c@x"], b"To: cc:b@x,\r\n bcc:c@x\r\n", b""),
            ("a@x, b@x", ["a@x", " b@x"], b"To: a@x,\r\n  b@x\r\n", b""),
        ]
        for recipients, rcpt, to, cc in cases:
            with self.subTest(recipients):
                r, server = self.deliver(dialogue(recipients=len(rcpt)), recipients)
                self.assertClean(r, server)
                self.assertEqual(server.commands[2:2 + len(rcpt)],
                                 [b"RCPT TO:<%s>\r\n" % a.encode() for a in rcpt])
                self.assertEqual(server.commands[2 + len(rcpt)], b"DATA\r\n")
                self.assertMessage(server, head(to=to, cc=cc) + b"\r\n.\r\n")

    def test_many_recipients_are_sent_whole(self):
        # Far more than fixed header buffers of a few kilobytes would hold.
        names = ["user%04d@some-long-domain-name.example.test" % i for i in range(250)]
        listed = [n if i % 2 == 0 else "CC:" + n for i, n in enumerate(names)]
        r, server = self.deliver(dialogue(recipients=len(names)), ",".join(listed))
        self.assertClean(r, server)
        self.assertEqual(server.commands[2:2 + len(names)],
                         [b"RCPT TO:<%s>\r\n" % n.encode() for n in names])
        to = b"To:" + b",\r\n".join(b" " + n.encode() for n in names[0::2]) + b"\r\n"
        cc = b"Cc:" + b",\r\n".join(b" " + n.encode() for n in names[1::2]) + b"\r\n"
        self.assertMessage(server, head(to=to, cc=cc) + b"\r\n.\r\n")

    def test_very_long_address_is_sent_whole(self):
        address = b"x" * 20000 + b"@example.test"
        r, server = self.deliver(dialogue(), address)
        self.assertClean(r, server)
        self.assertEqual(server.commands[2], b"RCPT TO:<" + address + b">\r\n")
        self.assertMessage(server, head(to=b"To: " + address + b"\r\n") + b"\r\n.\r\n")


if __name__ == "__main__":
    unittest.main()
