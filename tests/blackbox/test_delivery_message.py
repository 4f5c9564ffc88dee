"""The message as it goes out after DATA: header fields in their order, priorities, the
Date zone, the Subject encoded-word, and the body from -T and from a file, converted to
ISO-2022-JP, with the line-end and transparency rules."""
import os
import calendar
import contextlib
import datetime
import time
import shutil
import unittest
from unittest import mock

from fake_smtp import DATE_RE, DeliveryTest, dialogue, encoded_word, head, sjis_to_jis
import harness
from harness import WINDOWS, native_path

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


class Header(DeliveryTest):
    def test_full_header_block_in_order(self):
        r, server = self.deliver(dialogue(recipients=3), "-fTaro <taro@example.test>",
                                 "-sReport", "-p2", "-Tx", "a@x,CC:b@x,BCC:c@x")
        self.assertClean(r, server)
        self.assertMessage(server, b"From: Taro <taro@example.test>\r\n"
                           b"To: a@x\r\n"
                           b"Subject: Report\r\n"
                           b"Cc: b@x\r\n"
                           b"X-Mailer: VORNA 3.14\r\n"
                           b"Importance: high\r\n"
                           b"Mime-Version: 1.0\r\n"
                           b"Content-Type: text/plain; charset=ISO-2022-JP\r\n"
                           b"X-Priority:2\r\n"
                           b"Content-Transfer-Encoding: 7bit\r\n"
                           b"%DATE\r\n"
                           b"x\r\n.\r\n")

    def test_priorities(self):
        high, low = b"Importance: high\r\n", b"Importance: low\r\n"
        cases = [("1", high, b"X-Priority:1\r\n"), ("4", high, b"X-Priority:4\r\n"),
                 ("5", low, b"X-Priority:5\r\n"), ("99", low, b"X-Priority:99\r\n"),
                 ("0", b"", b""), ("-1", b"", b""), ("x", b"", b"")]
        for value, importance, priority in cases:
            with self.subTest(p=value):
                r, server = self.deliver(dialogue(), "-p" + value, "b@example.test")
                self.assertClean(r, server)
                self.assertMessage(server, head(importance=importance, priority=priority) +
                                   b"\r\n.\r\n")

    def test_date_zone(self):
        cases = [
            # TZ, -t given, zone text, hours east of UTC of the local time (None: not checked)
            ("JST-9", False, b"+0900", 9), ("JST-9", True, b"-1000", 9),
            ("EST5", False, b"-0500", -5), ("EST5", True, b"+0600", -5),
            ("UTC0", False, b"0000", 0), ("UTC0", True, b"0100", 0),
            ("IST-5:30", False, b"+0530", 5.5),
            # Daylight saving time moves the clock, not the zone text.
            # (The Windows C runtime knows only three-letter names and its own rules.)
            ("AES-10AED" if WINDOWS else "AEST-10AEDT,M10.1.0,M4.1.0/3", False, b"+1000", None),
        ]
        for tz, adjust, zone, east in cases:
            with self.subTest(TZ=tz, t=adjust):
                before = time.time()
                args = ["-t"] if adjust else []
                r, server = self.deliver(dialogue(), *args, "b@example.test",
                                         env=self.env(TZ=tz))
                after = time.time()
                self.assertClean(r, server)
                date = self.assertMessage(server, head() + b"\r\n.\r\n")
                m = DATE_RE.match(date)
                self.assertEqual(m.group(8) + m.group(9) + m.group(10), zone, date)
                if east is None:
                    continue
                # The clock part is the local time of that zone at the moment of the run.
                day, month = int(m.group(2)), MONTHS.index(m.group(3).decode()) + 1
                stamp = datetime.datetime(int(m.group(4)), month, day, int(m.group(5)),
                                          int(m.group(6)), int(m.group(7)))
                seconds = calendar.timegm(stamp.timetuple()) - east * 3600
                self.assertTrue(before - 2 <= seconds <= after + 1, (date, before, after))
                self.assertEqual(m.group(1).decode(), stamp.strftime("%a"))

    def test_subject(self):
        kanji = "件名テスト".encode("cp932")
        self.assertEqual(kanji, b"\x8c\x8f\x96\xbc\x83\x65\x83\x58\x83\x67")
        # Kanji and half-width katakana in turn: the longest encoded-word a subject can give.
        mixed = "漢ｶ".encode("cp932") * 85
        cases = [
            ("ASCII stays", b"Weekly report (draft)", b"Weekly report (draft)"),
            ("kanji become one encoded-word", kanji,
             b"=?ISO-2022-JP?B?GyRCN29MPiVGJTklSBsoSg==?="),
            ("half-width katakana alone stay 7-bit text", b"\xb1\xb2\xb3",
             b"\x0e\x31\x32\x33\x0f"),
            ("text already in JIS is wrapped unchanged", b"\x1b$B4A;z\x1b(J",
             b"=?ISO-2022-JP?B?" + b"GyRCNEE7ehsoSg==" + b"?="),
            ("255 bytes of mixed text", mixed, encoded_word(mixed)),
            ("256 bytes of kanji", "漢" .encode("cp932") * 128,
             encoded_word("漢".encode("cp932") * 128)),
        ]
        for name, subject, field in cases:
            with self.subTest(name):
                r, server = self.deliver(dialogue(), b"-s" + subject, "b@example.test")
                self.assertClean(r, server)
                self.assertMessage(server, head(subject=field) + b"\r\n.\r\n")

    def test_subject_oracle(self):
        # The oracle itself agrees with the converter's worked example.
        self.assertEqual(sjis_to_jis(b"\x93\xfa\x96\x7b\x8c\xea\xb6\xc5\x61\x62\x63"),
                         b"\x1b$BF|K\\8l\x1b(J\x0e6E\x0fabc")


class Body(DeliveryTest):
    def send_body(self, *args):
        r, server = self.deliver(dialogue(), *args, "b@example.test")
        self.assertClean(r, server)
        data = self.the_message(server)
        self.assertMessage(server, head() + data[data.index(b"\r\n\r\n") + 4:])
        return data[data.index(b"\r\n\r\n") + 4:-len(b"\r\n.\r\n")]

    def test_inline_body(self):
        cases = [
            ("backslash-n breaks lines", b"one\\ntwo\\nthree", b"one\r\ntwo\r\nthree"),
            ("CR LF, lone CR, lone LF each become CR LF", b"a\r\nb\rc\nd",
             b"a\r\nb\r\nc\r\nd"),
            ("lines beginning with a period get a second one", b".a\\nb\\n.\\n..c",
             b"..a\r\nb\r\n..\r\n...c"),
            ("a final line break stays the only one", b"end\\n", b"end\r\n"),
            ("other backslashes stay", b"C:\\temp\\x \\", b"C:\\temp\\x \\"),
            # 0x95 0x5C is one double-byte character; its second byte is no backslash.
            ("backslash as a trail byte", b"\x95\\n", b"\x1b$BI=\x1b(Jn"),
            ("a lead byte before CR LF goes out alone", b"\x8a\xbf\x81\r\nnext",
             b"\x1b$B4A\x1b(J\x81\r\nnext"),
            ("kanji per line", "漢字\\nかな".encode("cp932"),
             b"\x1b$B4A;z\x1b(J\r\n\x1b$B$+$J\x1b(J"),
        ]
        for name, text, body in cases:
            with self.subTest(name):
                self.assertEqual(self.send_body(b"-T" + text), body)

    def test_inline_body_wins_over_file(self):
        path = self.write("body.txt", b"from the file\n")
        self.assertEqual(self.send_body("-F" + native_path(path), "-Tinline"), b"inline")

    def test_body_file(self):
        cases = [
            ("LF lines", b"one\ntwo\n", b"one\r\ntwo\r\n"),
            ("CR LF lines", b"one\r\ntwo\r\n", b"one\r\ntwo\r\n"),
            ("empty lines", b"\n\r\n\n", b"\r\n\r\n\r\n"),
            ("period lines", b".\n.dot\nx.\n", b"..\r\n..dot\r\nx.\r\n"),
            ("last line without line end", b"one\nlast", b"one\r\nlast\r\n"),
            ("tab before the line end stays", b"a\tb\t\nc\t\r\n", b"a\tb\t\r\nc\t\r\n"),
            ("control byte at the very end stays", b"text\x01", b"text\x01\r\n"),
            ("kanji lines", "漢字\r\nABC漢字\n".encode("cp932"),
             b"\x1b$B4A;z\x1b(J\r\nABC\x1b$B4A;z\x1b(J\r\n"),
            ("mixed line", b"\x93\xfa\x96\x7b\x8c\xea\xb6\xc5\x61\x62\x63\n",
             b"\x1b$BF|K\\8l\x1b(J\x0e6E\x0fabc\r\n"),
            ("half-width katakana end keeps its SI", b"\xb1\xb2\n\xb1\xb2\r\n",
             b"\x0e12\x0f\r\n\x0e12\x0f\r\n"),
            ("one half-width katakana stays as it is", b"\xb1\n", b"\xb1\r\n"),
            ("a line that looks binary stays as it is", b"A\x01B\x8a\xbf\n",
             b"A\x01B\x8a\xbf\r\n"),
            ("a lead byte before a blank goes out alone", b"\x8a\xbf\x82 A\n",
             b"\x1b$B4A\x1b(J\x82 A\r\n"),
            ("a lead byte before the line end goes out alone", b"\x8a\xbf abc\x81\r\n",
             b"\x1b$B4A\x1b(J abc\x81\r\n"),
            ("a CR inside a line breaks it", b"a\rb\n\x8a\xbf\r.x\n",
             b"a\r\nb\r\n\x1b$B4A\x1b(J\r\n..x\r\n"),
            ("empty file", b"", b""),
        ]
        for name, content, body in cases:
            with self.subTest(name):
                path = self.write("body.txt", content)
                self.assertEqual(self.send_body("-F" + native_path(path)), body)

    def test_long_body_lines_go_whole(self):
        ascii_line = b"x" * 20000
        kanji_line = "漢字かな".encode("cp932") * 800   # 6,400 bytes, one shift run
        path = self.write("body.txt", ascii_line + b"\n" + kanji_line + b"\r\nend\n")
        self.assertEqual(self.send_body("-F" + native_path(path)),
                         ascii_line + b"\r\n" + sjis_to_jis(kanji_line) + b"\r\nend\r\n")

    def test_one_huge_line_keeps_memory_flat(self):
        # 24 MiB in one line without a line end, kanji throughout: it goes out converted
        # and whole while the program runs with a data limit (heap and private mappings)
        # of 32 MiB, so a copy of the whole line would end it.
        kanji = "漢字かな".encode("cp932")
        count = 24 * 1024 * 1024 // len(kanji)
        path = self.write("huge.txt", kanji * count)
        limit = contextlib.nullcontext()
        # A sanitizer build reserves far more memory than any limit for the program itself.
        if (not WINDOWS and not harness.RUNNER and shutil.which("prlimit") and
                not os.environ.get("VORNA_SANITIZED")):
            limit = mock.patch.object(harness, "RUNNER", "prlimit;--data=%d;--" % (32 << 20))
        with limit:
            body = self.send_body("-F" + native_path(path))
        expected = b"\x1b$B" + sjis_to_jis(kanji)[3:-3] * count + b"\x1b(J\r\n"
        self.assertTrue(body == expected, "the line went out changed")

    def test_no_body(self):
        self.assertEqual(self.send_body(), b"")


if __name__ == "__main__":
    unittest.main()
