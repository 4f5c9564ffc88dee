"""The information block (-i): its lines for the settings in force and for what is about
to be sent. The runs go to a closed port on loopback (the POP3 server too, where POP
before SMTP is on), so they end with an error after the block."""
import os
import unittest

from frontend_texts import BANNER, error_lines
from harness import WINDOWS, ProgramTest, console, native_path, sjis

POP_OFF = ("#POP before SMTP　　　 : 使わない\n"
           "#APOP           　　　 : 使わない\n")
AUTH_OFF = "#SMTP認証           　 : 使わない\n"
NOTHING_TO_SEND = ("#本文ファイル          ：なし\n"
                   "#添付ファイル          ：なし\n")


def addressing(server, sender, recipients, subject):
    return ("#メールサーバ　　　　　：%s\n" % server
            + "#メール送り元　　　　　：%s\n" % (sender or "なし")
            + "#メール送り先　　　　　：%s\n" % recipients
            + "#サブジェクト内容　　　：%s\n" % (subject or "なし"))


class InformationBlock(ProgramTest):
    def setUp(self):
        super().setUp()
        self.settings("[SMTP]\nSMTP_PORT=1\n")

    def settings(self, text):
        self.write("vorna.ini", text)
        return native_path(os.path.join(self.cwd, "vorna.ini"))

    def assertBlockThenError(self, result, block):
        """The block, then one error line and its empty second line."""
        expected = console(block)
        self.assertTrue(result.stdout.startswith(expected), result)
        rest = result.stdout[len(expected):]
        self.assertRegex(rest, rb"^ERR-00\d\d:[^\n]* \r?\n\r?\n$")
        self.assertNotEqual(result.status, 0)

    def test_plain_run_shows_no_settings_file(self):
        r = self.vorna("-i", "-h127.0.0.1", "-sHello", "-ffrom@example.test",
                       "to@example.test,CC:cc@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + NOTHING_TO_SEND
                          + addressing("127.0.0.1", "from@example.test",
                                       "to@example.test,CC:cc@example.test", "Hello")
                          + error_lines(8))

    def test_values_are_shown_as_held_before_conversion(self):
        subject = "件名です"
        sender = "差出人 <from@example.test>"
        r = self.vorna("-i", "-h127.0.0.1", sjis("-s" + subject), sjis("-f" + sender),
                       "to@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + NOTHING_TO_SEND
                          + addressing("127.0.0.1", sender, "to@example.test", subject)
                          + error_lines(8))

    def test_smtp_authentication_methods(self):
        account = "#SMTPアカウント　 　　 : mailer\n"
        methods = {
            1: " AUTH CRAM-MD5を利用(標準)\n",
            2: " AUTH PLAINを利用\n",
            3: " AUTH LOGINを利用\n",
            4: " AUTH XOAUTH2を利用\n",
            5: " AUTH OAUTHBEARERを利用\n",
            # A method number beyond 5 prints no method text and no line end.
            7: "",
        }
        for method, text in methods.items():
            with self.subTest(method=method):
                path = self.settings("[SMTP]\nSMTP_PORT=1\nSMTP_AUTH=%d\nSMTP_USER=mailer\n"
                                     % method)
                r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
                self.assertBlockThenError(
                    r, BANNER + "#設定ファイル          : [%s]\n" % path + POP_OFF
                    + "#SMTP認証              : 使う" + text + account + NOTHING_TO_SEND
                    + addressing("127.0.0.1", "", "to@example.test", ""))
        # Zero and negative numbers mean no authentication, and no settings-file line.
        self.settings("[SMTP]\nSMTP_PORT=1\nSMTP_AUTH=-1\n")
        r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + NOTHING_TO_SEND
                          + addressing("127.0.0.1", "", "to@example.test", "")
                          + error_lines(8))

    def test_password_commands_are_named_but_their_output_never_shown(self):
        echo = "cmd /c echo SECRET-OUTPUT" if WINDOWS else "echo SECRET-OUTPUT"
        path = self.settings(
            "[POP3]\nPOP3_USE=1\nPOP3_SERVER=127.0.0.1\nPOP3_PORT=1\nPOP3_USER=popper\n"
            "POP3_TIME_OUT=5\nPOP3_PASS_COMMAND=%s\n[SMTP]\nSMTP_PORT=1\nSMTP_AUTH=4\n"
            "SMTP_USER=me\nSMTP_PASS_COMMAND=%s\n" % (echo, echo))
        r = self.vorna("-i", "-d", "-h127.0.0.1", "to@example.test")
        self.assertBlockThenError(
            r, BANNER + "#設定ファイル          : [%s]\n" % path
            + "#POP before SMTP　　　 : 使う\n"
            + "#APOP           　　　 : 使わない\n"
            + "#POP3サーバ　　　 　　 : 127.0.0.1\n"
            + "#POP3アカウント　 　　 : popper\n"
            + "#POP3パスワード        : コマンドから取得\n"
            + "#SMTP認証              : 使う AUTH XOAUTH2を利用\n"
            + "#SMTPアカウント　 　　 : me\n"
            + "#SMTPパスワード        : コマンドから取得\n"
            + NOTHING_TO_SEND + addressing("127.0.0.1", "", "to@example.test", ""))
        self.assertNotIn(b"SECRET-OUTPUT", r.stdout + r.stderr)

    def test_pop_before_smtp_lines(self):
        for apop, apop_text in ((1, "使う"), (0, "使わない"), (2, "使わない")):
            with self.subTest(apop=apop):
                path = self.settings(
                    "[POP3]\nPOP3_USE=1\nAPOP_USE=%d\nPOP3_SERVER=127.0.0.1\nPOP3_PORT=1\n"
                    "POP3_USER=popper\nPOP3_TIME_OUT=5\n[SMTP]\nSMTP_PORT=1\n" % apop)
                r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
                self.assertBlockThenError(
                    r, BANNER + "#設定ファイル          : [%s]\n" % path
                    + "#POP before SMTP　　　 : 使う\n"
                    + "#APOP           　　　 : %s\n" % apop_text
                    + "#POP3サーバ　　　 　　 : 127.0.0.1\n"
                    + "#POP3アカウント　 　　 : popper\n"
                    + AUTH_OFF + NOTHING_TO_SEND
                    + addressing("127.0.0.1", "", "to@example.test", ""))

    def test_encryption_lines_only_when_one_is_on(self):
        cases = [
            ("SMTP_SSL=1\n", "", "使わない\n", "STARTTLS / 証明書を検証する\n"),
            ("SMTP_SSL=2\n", "[SSL]\nSSL_VERIFY=0\n", "使わない\n",
             "SSL/TLS(最初から) / 証明書を検証しない\n"),
            ("SMTP_SSL=0\n", "", "STLS / 証明書を検証する\n", "使わない\n"),
        ]
        for smtp, ssl, pop_text, smtp_text in cases:
            with self.subTest(smtp=smtp, ssl=ssl):
                pop = "[POP3]\nPOP3_SSL=1\n" if pop_text.startswith("STLS") else ""
                self.settings(pop + "[SMTP]\nSMTP_PORT=1\n" + smtp + ssl)
                r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
                self.assertBlockThenError(
                    r, BANNER + POP_OFF + AUTH_OFF
                    + "#POP3暗号化            : " + pop_text
                    + "#SMTP暗号化            : " + smtp_text + NOTHING_TO_SEND
                    + addressing("127.0.0.1", "", "to@example.test", ""))
        # Both off (0, or an empty value) keeps the block as it always was.
        self.settings("[POP3]\nPOP3_SSL=0\n[SMTP]\nSMTP_PORT=1\nSMTP_SSL=\n")
        r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + NOTHING_TO_SEND
                          + addressing("127.0.0.1", "", "to@example.test", "")
                          + error_lines(8))
        # A value that is no mode shows no block that would claim a plain connection.
        self.settings("[SMTP]\nSMTP_PORT=1\nSMTP_SSL=7\n")
        r = self.vorna("-i", "-h127.0.0.1", "to@example.test")
        self.assertOutput(r, 24, error_lines(24))

    def test_time_zone_line_only_when_tz_exists(self):
        tail = NOTHING_TO_SEND + addressing("127.0.0.1", "", "to@example.test", "")
        r = self.vorna("-i", "-t", "-h127.0.0.1", "to@example.test", env=self.env(TZ="JST-9"))
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF
                          + "#TIME ZONE             ：TZ = JST-9\n" + tail + error_lines(8))
        r = self.vorna("-i", "-t", "-h127.0.0.1", "to@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + tail + error_lines(8))

    def test_files_are_listed_with_their_sizes(self):
        self.write("body.txt", "x" * 1234)
        for name, size in (("a.bin", 10), ("b.bin", 0), ("c.bin", 70000)):
            self.write(name, b"\x00" * size)
        r = self.vorna("-i", "-Fbody.txt", "-Tinline", "-a,a.bin,,b.bin,c.bin,",
                       "-h127.0.0.1", "to@example.test")
        # Once the attachments are encoded the run reaches the connection; the block is
        # printed after -a in either case.
        self.assertBlockThenError(
            r, BANNER + POP_OFF + AUTH_OFF
            + "#本文ファイル          ：body.txt [1234 bytes]\n"
            + "#添付ファイル1         ：a.bin [10 bytes]\n"
            + "#添付ファイル2         ：b.bin [0 bytes]\n"
            + "#添付ファイル3         ：c.bin [70000 bytes]\n"
            + addressing("127.0.0.1", "", "to@example.test", ""))

    def test_attachment_option_without_paths_lists_none(self):
        r = self.vorna("-i", "-a,,", "-h127.0.0.1", "to@example.test")
        self.assertOutput(r, 8, BANNER + POP_OFF + AUTH_OFF + NOTHING_TO_SEND
                          + addressing("127.0.0.1", "", "to@example.test", "")
                          + error_lines(8))
        self.assertEqual(self.work_files(), [])


if __name__ == "__main__":
    unittest.main()
