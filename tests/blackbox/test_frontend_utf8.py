"""A terminal whose locale is UTF-8 (POSIX): the program's text comes out as UTF-8, the
server's bytes in the debug trace as they came (ill-formed UTF-8 replaced), arguments and
menu answers typed in UTF-8 are taken as the Shift_JIS they stand for; the C locale gives
the Shift_JIS bytes as ever. A Windows console always takes the Shift_JIS bytes, so these
runs are POSIX-only."""
import os
import re
import unittest

from fake_pop3 import FakePop3
from fake_smtp import DeliveryTest, dialogue, encoded_word, greet, on, message
from harness import WINDOWS, ProgramTest, console
from test_pop3 import OK, POP3_HEADER, Pop3Test

UTF8 = {"LANG": "C.UTF-8"}
C = {"LC_ALL": "C"}
GETA = "〓"
REPLACEMENT = "\ufffd".encode("utf-8")


def as_utf8(sjis_bytes):
    """The UTF-8 form of the program's Shift_JIS output."""
    return sjis_bytes.decode("cp932").encode("utf-8")


@unittest.skipIf(WINDOWS, "a Windows console takes the Shift_JIS bytes in every case")
class ConsoleText(ProgramTest):
    def run_both(self, *args, stdin=b""):
        """The run in the C locale and in a UTF-8 locale (same arguments, same input)."""
        plain = self.vorna(*args, env=self.env(**C), stdin=stdin, timeout=20)
        utf8 = self.vorna(*args, env=self.env(**UTF8), stdin=stdin, timeout=20)
        return plain, utf8

    def test_usage_error_line_and_menu_in_utf8(self):
        usage = ("□ オプションパラメータ一覧\n", "      -S: サイレントモード（エラー表示しない）\n")
        cases = [("usage text", ["-?"], b"", 0, usage[0]),
                 ("unknown option: usage and error 17", ["-x"], b"", 17,
                  "ERR-0017:オプション指定エラー。 \n"),
                 ("error line", ["b@example.test"], b"", 12,
                  "ERR-0012:メールサーバが指定されていません。 \n\n"),
                 ("both menu screens", [], b"2\n13\ny\n3\n", 0, "POP3/SMTP認証 設定メニュー")]
        for name, args, stdin, status, text in cases:
            with self.subTest(name):
                plain, utf8 = self.run_both(*args, stdin=stdin)
                self.assertEqual((plain.status, utf8.status), (status, status))
                # The C locale keeps today's Shift_JIS bytes; UTF-8 is exactly their UTF-8.
                self.assertIn(console(text), plain.stdout)
                self.assertIn(text.encode("utf-8"), utf8.stdout)
                self.assertEqual(utf8.stdout, as_utf8(plain.stdout))

    def test_the_variables_decide_as_usual(self):
        sjis_text = console("□ コマンド:\n")
        utf8_text = "□ コマンド:\n".encode("utf-8")
        cases = [({"LC_ALL": "C", "LANG": "C.UTF-8"}, sjis_text),
                 ({"LC_CTYPE": "C.UTF-8"}, utf8_text),
                 ({"LC_ALL": "C.UTF-8", "LANG": "C"}, utf8_text),
                 ({"LANG": "POSIX"}, sjis_text),
                 # A locale that is not installed falls back to C.
                 ({"LANG": "xx_XX.UTF-8"}, sjis_text)]
        for variables, expected in cases:
            with self.subTest(**variables):
                r = self.vorna("-?", env=self.env(**variables))
                self.assertEqual(r.status, 0)
                self.assertIn(expected, r.stdout)

    def test_silent_stays_silent(self):
        r = self.vorna("-S", "-x", env=self.env(**UTF8))
        self.assertEqual((r.status, r.stdout), (17, b""))


@unittest.skipIf(WINDOWS, "arguments reach a Windows program in its code page")
class Arguments(DeliveryTest):
    def sent(self, *args, env=None, script=None):
        r, server = self.deliver(script or dialogue(), *args, env=env)
        self.assertClean(r, server)
        # The Date line differs from run to run.
        return [re.sub(rb"Date: [^\r]*\r\n", b"Date: -\r\n", c) for c in server.commands]

    def test_utf8_arguments_arrive_as_the_shift_jis_ones_do(self):
        def arguments(encode):
            return [b"-s" + encode("件名テスト"), b"-f" + encode("山田 太郎 <taro@example.test>"),
                    b"-T" + encode("本文です\\nｶﾀｶﾅも"), encode("宛先<b@example.test>")]
        from_sjis = self.sent(*arguments(lambda t: t.encode("cp932")), env=self.env(**C))
        from_utf8 = self.sent(*arguments(lambda t: t.encode("utf-8")), env=self.env(**UTF8))
        self.assertEqual(from_utf8, from_sjis)
        self.assertIn(encoded_word("件名テスト".encode("cp932")), b"".join(from_utf8))
        # Shift_JIS typed in a UTF-8 locale is no UTF-8: taken as it is.
        self.assertEqual(self.sent(*arguments(lambda t: t.encode("cp932")), env=self.env(**UTF8)),
                         from_sjis)

    def test_characters_without_a_shift_jis_form_become_geta_marks(self):
        emoji = "\U0001F600"
        from_utf8 = self.sent(("-s件名" + emoji).encode("utf-8"),
                              ("-T前" + emoji + "後").encode("utf-8"), b"b@example.test",
                              env=self.env(**UTF8))
        from_sjis = self.sent(("-s件名" + GETA).encode("cp932"),
                              ("-T前" + GETA + "後").encode("cp932"), b"b@example.test",
                              env=self.env(**C))
        self.assertEqual(from_utf8, from_sjis)

    def test_debug_mode_tells_what_was_replaced(self):
        emoji = "\U0001F600".encode("utf-8")
        r, server = self.deliver(dialogue(), b"-s" + emoji + b"x" + emoji, b"-d", b"b@example.test",
                                 env=self.env(**UTF8))
        self.assertEqual(r.status, 0, r)
        lines = [l for l in r.stdout.split(b"\n") if b"Shift_JIS" in l]
        self.assertEqual(lines, [("Conv: 2 character(s) in -s without a Shift_JIS form, sent as "
                                  + GETA).encode("utf-8")])
        r, server = self.deliver(dialogue(), b"-sx", b"-d", b"b@example.test", env=self.env(**UTF8))
        self.assertNotIn(b"Shift_JIS", r.stdout)

    def test_subject_limit_counts_the_shift_jis_bytes(self):
        # 100 kanji: 300 bytes of UTF-8, 200 of Shift_JIS, within the 256 allowed.
        subject = "漢" * 100
        self.sent(b"-s" + subject.encode("utf-8"), b"b@example.test", env=self.env(**UTF8))
        r = self.vorna(b"-h127.0.0.1", b"-s" + ("漢" * 129).encode("utf-8"), b"b@example.test",
                       env=self.env(**UTF8))
        self.assertEqual(r.status, 18)

    def test_files_named_in_utf8_are_opened_by_their_own_names(self):
        name = "報告書.txt"
        path = os.path.join(self.cwd, name).encode("utf-8")
        with open(path, "wb") as f:
            f.write(b"attached\n")
        with open(os.path.join(self.cwd, "本文.txt").encode("utf-8"), "wb") as f:
            f.write(b"body\n")
        r, server = self.deliver(dialogue(), b"-i", b"-a" + path, "-F本文.txt".encode("utf-8"),
                                 b"b@example.test", env=self.env(**UTF8))
        self.assertEqual((r.status, self.work_files()), (0, []), r)
        data = self.sent_message(server)
        word = encoded_word(name.encode("cp932"))
        self.assertIn(b' name="' + word + b'"\r\n', data)
        self.assertIn(b' filename="' + word + b'"\r\n', data)
        self.assertIn(b"\r\nbody\r\n", data)
        # The information block shows both names readably, with the sizes on disk.
        shown = r.stdout.decode("utf-8")
        self.assertIn("：本文.txt [5 bytes]\n", shown)
        self.assertIn("：%s [9 bytes]\n" % path.decode("utf-8"), shown)

    def sent_message(self, server):
        return self.the_message(server)

    def test_debug_trace_shows_the_servers_bytes_as_received(self):
        greeting = "220 ようこそ ready\r\n".encode("utf-8")
        script = dialogue()
        script[0] = greet(greeting)
        script[1] = on("EHLO", b"250-fake \xff\xfe\r\n250 OK\r\n")
        r, server = self.deliver(script, b"-d", b"b@example.test", env=self.env(**UTF8))
        self.assertEqual(r.status, 0, r)
        self.assertIn(b"Recv:[%d bytes] " % len(greeting) + greeting, r.stdout)
        self.assertIn(b"250-fake " + REPLACEMENT * 2 + b"\r\n250 OK", r.stdout)
        # In the C locale every byte is shown as it came.
        r, server = self.deliver(script, b"-d", b"b@example.test", env=self.env(**C))
        self.assertIn(greeting, r.stdout)
        self.assertIn(b"250-fake \xff\xfe\r\n", r.stdout)

    def test_control_bytes_of_the_server_stay_escaped_in_utf8(self):
        # ESC and BEL escaped in every locale; U+009B (a C1 control, the one-byte form of
        # ESC [ to a UTF-8 terminal) escaped only where the terminal reads UTF-8.
        hostile = "220 \x1b]0;owned\x07 ようこそ \x9b2J\r\n".encode("utf-8")
        script = dialogue()
        script[0] = greet(hostile)
        shown = {
            "UTF-8": "Recv:[%d bytes] 220 \\x1b]0;owned\\x07 ようこそ \\xc2\\x9b2J\r\n"
                     % len(hostile),
            "C": (b"Recv:[%d bytes] 220 \\x1b]0;owned\\x07 " % len(hostile)
                  + "ようこそ \x9b2J\r\n".encode("utf-8"))}
        for name, env in (("UTF-8", UTF8), ("C", C)):
            with self.subTest(name):
                r, server = self.deliver(script, b"-d", b"b@example.test", env=self.env(**env))
                self.assertEqual((r.status, server.problems), (0, []), r)
                expected = shown[name]
                if isinstance(expected, str):
                    expected = expected.encode("utf-8")
                self.assertTrue(r.stdout.startswith(expected), r.stdout[:120])
                self.assertNotIn(b"\x1b", r.stdout)
                self.assertNotIn(b"\x07", r.stdout)


    def test_bidirectional_controls_of_the_server_are_escaped_in_utf8(self):
        # U+202E would show what follows it right to left; U+2066 opens an isolate. In the
        # C locale the bytes are Shift_JIS to the terminal and pass as they came.
        hostile = "220 \u202egnp.exe \u2066x\u2069 ok\r\n".encode("utf-8")
        script = dialogue()
        script[0] = greet(hostile)
        r, server = self.deliver(script, b"-d", b"b@example.test", env=self.env(**UTF8))
        self.assertEqual((r.status, server.problems), (0, []), r)
        self.assertIn(b"Recv:[%d bytes] 220 \\xe2\\x80\\xaegnp.exe \\xe2\\x81\\xa6x"
                      b"\\xe2\\x81\\xa9 ok\r\n" % len(hostile), r.stdout)
        for control in ("\u202e", "\u2066", "\u2069"):
            self.assertNotIn(control.encode("utf-8"), r.stdout)
        r, server = self.deliver(script, b"-d", b"b@example.test", env=self.env(**C))
        self.assertIn(hostile, r.stdout)


@unittest.skipIf(WINDOWS, "a Windows console takes the Shift_JIS bytes in every case")
class Pop3Trace(Pop3Test):
    def test_pop3_replies_are_shown_as_received_and_escaped(self):
        greeting = "+OK ようこそ \x1b[2J\xff\r\n".encode("utf-8")
        greeting = greeting.replace("\xff".encode("utf-8"), b"\xff")
        runs = []
        for env in (UTF8, C):  # a scripted server takes one login
            with FakePop3([greeting, OK, OK, OK]) as server:
                self.configure(server.port)
                runs.append(self.vorna("-d", "-h127.0.0.1", "a@example.test",
                                       env=self.env(**env)))
        utf8, plain = runs
        self.assertEqual((utf8.status, plain.status), (8, 8))
        self.assertIn("Recv:+OK ようこそ \\x1b[2J\ufffd\r\n".encode("utf-8"), utf8.stdout)
        self.assertIn(b"Recv:+OK " + "ようこそ".encode("utf-8") + b" \\x1b[2J\xff\r\n",
                      plain.stdout)
        # The program's own header line is converted; the C locale keeps its Shift_JIS.
        self.assertIn(POP3_HEADER.encode("utf-8"), utf8.stdout)
        self.assertIn(console(POP3_HEADER), plain.stdout)


@unittest.skipIf(WINDOWS, "a Windows console takes the Shift_JIS bytes in every case")
class MenuInput(ProgramTest):
    def test_utf8_answers_are_saved_as_shift_jis(self):
        self.write("vorna.ini", b"")
        answers = "2\n2\nサーバ名\n3\nユーザ　x\n12\ny\n".encode("utf-8")
        r = self.vorna(stdin=answers, env=self.env(**UTF8), timeout=20)
        self.assertEqual(r.status, 0, r)
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            saved = f.read().splitlines()
        self.assertIn(b"POP3_SERVER=" + "サーバ名".encode("cp932"), saved)
        # The ideographic space is no blank: the word runs on to the end of the line.
        self.assertIn(b"POP3_USER=" + "ユーザ　x".encode("cp932"), saved)
        # The screen shows the new value readably.
        self.assertIn("( 2) - POPサーバ             [サーバ名]\n".encode("utf-8"), r.stdout)


if __name__ == "__main__":
    unittest.main()
