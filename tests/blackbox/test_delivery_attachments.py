"""Multipart messages: the text part, the attachment parts copied from the work files
(Base64 lines of 76 characters), display names, the closing boundary, the work files
removed after success and failure, and the progress lines of information mode."""
import os
import random
import re
import unittest

from fake_smtp import (CLOSE, DeliveryTest, base64_part, closed_port, cut, dialogue,
                       encoded_word, error_lines, greet, head, on)
from harness import WINDOWS, console, native_path

TEXT_PART = b"--%B\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n\r\n"
CLOSING = b"--%B--\r\n\r\n.\r\n"


def part(name, data):
    return (b'--%B\r\nContent-Type: application/octet-stream; name="' + name + b'"\r\n'
            b'Content-Disposition: attachment;\r\n filename="' + name + b'"\r\n' +
            base64_part(data) + b"\r\n")


def progress(text):
    """A progress line as a pattern; (T) stands for the elapsed time."""
    pattern = re.escape(text.encode("cp932")).replace(re.escape(b"(T)"),
                                                     rb"\((0|[1-9]\d*)\.(0|[1-9]\d{0,2})sec\)")
    return pattern + rb"\n"


class Attachments(DeliveryTest):
    def setUp(self):
        super().setUp()
        self.rng = random.Random(7356)

    def data(self, n):
        return bytes(self.rng.randrange(256) for _ in range(n))

    def test_parts_byte_for_byte(self):
        files = [("a57.bin", self.data(57)), ("b58.bin", self.data(58)),
                 ("empty.bin", b""), ("one.txt", b"a"), ("big.bin", self.data(1000))]
        for name, data in files:
            self.write(name, data)
        self.assertEqual(base64_part(b"a"), b"Content-Transfer-Encoding: base64\r\n\r\nYQ==\r\n")
        r, server = self.deliver(dialogue(), "-a" + ",".join(n for n, _ in files),
                                 "-Tbody", "b@example.test")
        self.assertClean(r, server)
        expected = (head(multipart=True) + TEXT_PART + b"body\r\n" +
                    b"".join(part(n.encode(), d) for n, d in files) + CLOSING)
        self.assertMessage(server, expected)

    def test_debug_mode_sends_and_echoes_the_same_bytes(self):
        # Work files may be copied in large blocks normally and line by line in debug
        # mode; the wire must not tell the two apart, and the trace must echo every byte.
        data = self.data(300000)
        self.write("x.bin", data)
        body = self.write("body.txt", "本文\n.\n".encode("cp932"))
        expected = (head(multipart=True) + TEXT_PART + b"\x1b$BK\\J8\x1b(J\r\n..\r\n\r\n" +
                    part(b"x.bin", data) + CLOSING)
        for args in ([], ["-d"]):
            with self.subTest(args=args):
                r, server = self.deliver(dialogue(), *args, "-F" + native_path(body), "-ax.bin",
                                         "b@example.test")
                self.assertEqual((r.status, server.problems), (0, []), r)
                self.assertMessage(server, expected)
                if args:
                    out = r.stdout.replace(b"\r\r\n", b"\r\n") if WINDOWS else r.stdout
                    start = out.index(b"Recv:[14 bytes] 354 go ahead\r\n") + 30
                    end = out.index(b"Send: \r\n.\r\nRecv:")
                    self.assertTrue(out[start:].startswith(b"Send: "))
                    self.assertEqual(out[start:end].replace(b"Send: ", b""),
                                     self.the_message(server)[:-5])

    def test_boundary_and_part_layout(self):
        # Seen on the wire rather than through the helpers: the exact lines of one part.
        self.write("x.bin", b"abc")
        r, server = self.deliver(dialogue(), "-ax.bin", "b@example.test")
        self.assertClean(r, server)
        data = self.the_message(server)
        boundary = re.search(rb'boundary="(------_7356-?\d+QWEORfsdEYfi_MULTIPART_MIXED_)"\r\n',
                             data).group(1)
        self.assertTrue(data.endswith(
            b"\r\n\r\n--" + boundary + b"\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\n"
            b"\r\n\r\n--" + boundary + b"\r\nContent-Type: application/octet-stream;"
            b' name="x.bin"\r\nContent-Disposition: attachment;\r\n filename="x.bin"\r\n'
            b"Content-Transfer-Encoding: base64\r\n\r\nYWJj\r\n\r\n--" + boundary +
            b"--\r\n\r\n.\r\n"), data)

    def test_large_attachment_streams_exactly(self):
        data = self.data(700001)
        self.write("large.bin", data)
        for slow in (False, True):
            with self.subTest(slow_reader=slow):
                r, server = self.deliver(dialogue(), "-alarge.bin", "b@example.test",
                                         slow_reader=slow)
                self.assertClean(r, server)
                self.assertMessage(server, head(multipart=True) + TEXT_PART + b"\r\n" +
                                   part(b"large.bin", data) + CLOSING)

    def test_display_names(self):
        os.mkdir(os.path.join(self.cwd, "sub"))
        self.write("x.bin", b"xyz", os.path.join(self.cwd, "sub"))
        sep = "\\" if WINDOWS else "/"
        cases = [("sub" + sep + "x.bin", b"x.bin"),
                 (native_path(os.path.join(self.cwd, "sub", "x.bin")), b"x.bin")]
        if not WINDOWS:
            # Japanese file names become an encoded-word in both parameters.
            name = "資料.txt".encode("cp932")
            with open(os.path.join(os.fsencode(self.cwd), name), "wb") as f:
                f.write(b"xyz")
            cases.append((name, encoded_word(name)))
        for path, shown in cases:
            with self.subTest(path=path):
                arg = b"-a" + (path if isinstance(path, bytes) else path.encode())
                r, server = self.deliver(dialogue(), arg, "b@example.test")
                self.assertClean(r, server)
                self.assertMessage(server, head(multipart=True) + TEXT_PART + b"\r\n" +
                                   part(shown, b"xyz") + CLOSING)

    @unittest.skipIf(WINDOWS, "such file names cannot exist on Windows")
    def test_names_that_would_break_the_part_header_are_refused(self):
        for name in (b'say"hi".bin', b"two\nlines.bin", b"cr\r.bin"):
            with self.subTest(name=name):
                with open(os.path.join(os.fsencode(self.cwd), name), "wb") as f:
                    f.write(b"data")
                r, server = self.deliver(dialogue(), b"-a" + name, "b@example.test")
                self.assertEqual((r.status, r.stdout), (3, console(error_lines(3))))
                self.assertFalse(server.connected)
                self.assertEqual(self.work_files(), [])

    def test_option_without_files_still_makes_a_multipart_message(self):
        for arg in ("-a", "-a,,"):
            with self.subTest(arg=arg):
                r, server = self.deliver(dialogue(), arg, "-Tx", "b@example.test")
                self.assertClean(r, server)
                self.assertMessage(server, head(multipart=True) + TEXT_PART + b"x\r\n" +
                                   CLOSING)

    def test_work_files_are_removed_whatever_the_ending(self):
        self.write("x.bin", self.data(5000))
        self.write("y.bin", self.data(10))
        ok = "250 ok\r\n"
        start = [greet("220 fake\r\n"), on("EHLO", "250 fake\r\n"), on("MAIL", ok)]
        self.write("large.bin", os.urandom(6 << 20))
        cases = [("delivered", dialogue(), 0, 0),
                 ("recipient refused", start + [on("RCPT", "550 no such user\r\n")], 11, 550),
                 ("connection lost", start + [on("RCPT", CLOSE)], 10, 0),
                 ("connection refused", None, 8, 0),
                 # The server hangs up in the middle of a message too large to sit in the
                 # socket buffers: the sending fails.
                 ("connection lost while sending",
                  start + [on("RCPT", ok), on("DATA", "354 go\r\n"), cut(4096)], 9, 0)]
        for name, script, status, reply_code in cases:
            with self.subTest(name):
                files = "-ax.bin,y.bin" + (",large.bin" if status == 9 else "")
                if script is None:
                    self.write_ini(closed_port())
                    r = self.vorna("-h127.0.0.1", files, "b@example.test")
                else:
                    r, server = self.deliver(script, files, "b@example.test",
                                             slow_reader=status == 9)
                    self.assertEqual(server.problems, [])
                expected = error_lines(status, reply_code) if status else b""
                self.assertEqual((r.status, r.stdout), (status, console(expected)), r)
                self.assertEqual(self.work_files(), [])

    def test_progress_lines(self):
        self.write("x.bin", self.data(100))
        self.write("y.bin", self.data(200))
        body = self.write("body.txt", b"line\n")
        head_done = progress("#//メールヘッダー送信完了　　(T)....")
        cases = [
            ("body file and two attachments",
             ["-F" + native_path(body), "-ax.bin,y.bin"],
             [head_done, progress("#//メール本文送信中　　　　　...."),
              progress("#//メール本文送信完了　　　　(T)...."),
              progress("#//メール添付ファイル(1  /2  )送信中　...."),
              progress("#//メール添付ファイル(2  /2  )送信中　...."),
              progress("#//メール添付ファイル送信完了(T)....")]),
            ("inline body, silent mode", ["-S", "-Tx"], [head_done]),
            ("no body, attachment option without files", ["-a"],
             [head_done, progress("#//メール添付ファイル送信完了(T)....")]),
        ]
        for name, args, lines in cases:
            with self.subTest(name):
                r, server = self.deliver(dialogue(), "-i", *args, "b@example.test")
                self.assertEqual((r.status, server.problems), (0, []), r)
                out = r.stdout.replace(b"\r\n", b"\n") if WINDOWS else r.stdout
                # The information block comes first; the progress lines end the output.
                self.assertTrue(out.startswith(
                    b"#---------------------- VORNA 3.14 Information By Ilo -------------------\n"),
                    out)
                at = out.find(b"#//")
                self.assertGreater(at, 0, out)
                self.assertRegex(out[at:], b"\\A" + b"".join(lines) + b"\\Z")
                self.assertEqual(self.work_files(), [])


if __name__ == "__main__":
    unittest.main()
