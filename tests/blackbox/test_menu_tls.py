"""The settings menu's encryption group (items 14 to 17): the lines as the values stand,
the answers each item takes, and saving them."""
import unittest

from harness import console
from test_menu import LINE17_SYSTEM, TLS_NONE, MenuTest, auth_screen, tls_group

POP3_STLS = "[使う/STLSを利用]\n"
POP3_IMPLICIT = "[使う/接続時からSSL/TLS(POP3S)]\n"
SMTP_STARTTLS = "[使う/STARTTLSを利用]\n"
SMTP_IMPLICIT = "[使う/接続時からSSL/TLS(SMTPS)]\n"
VERIFY_OFF = "[しない(非推奨)]\n"
TLS_INVALID = "[不正な値(送信はエラー24)]\n"

ASK_POP3_SSL = ("POP3通信の暗号化方式は？\n"
                " 0:暗号化しない(標準)             通常のポート番号 110\n"
                " 1:STLSで暗号化に切り替える       通常のポート番号 110\n"
                " 2:接続時からSSL/TLSで暗号化する  通常のポート番号 995\n?[0-2]:")
ASK_SMTP_SSL = ("SMTP通信の暗号化方式は？\n"
                " 0:暗号化しない(標準)             通常のポート番号 25\n"
                " 1:STARTTLSで暗号化に切り替える   通常のポート番号 587\n"
                " 2:接続時からSSL/TLSで暗号化する  通常のポート番号 465\n?[0-2]:")
ASK_NO_VERIFY = "サーバ証明書の検証を無効にする？(非推奨)[Y/N]:"
ASK_CA_FILE = "CA証明書ファイル(PEM形式)のパスは？[空行:システム標準に戻す]:"


def line17(path):
    return "(17) - CA証明書ファイル      [%s]\n" % path


class EncryptionGroup(MenuTest):
    def test_lines_show_the_values_of_the_file(self):
        cases = [
            ("modes 1", "[POP3]\nPOP3_SSL=1\n[SMTP]\nSMTP_SSL=1\n",
             tls_group(pop3=POP3_STLS, smtp=SMTP_STARTTLS), {}),
            # A missing port under TLS from the first byte is the usual one of that mode.
            ("modes 2", "[POP3]\nPOP3_SSL=2\n[SMTP]\nSMTP_SSL=2\n",
             tls_group(pop3=POP3_IMPLICIT, smtp=SMTP_IMPLICIT), dict(port=995, smtp_port=465)),
            # Values only an edited file can hold: a mode that is none of 0, 1, 2 is shown as
            # refused (sending ends with error 24), anything but 0 verifies.
            ("other values", "[POP3]\nPOP3_SSL=3\n[SMTP]\nSMTP_SSL=-1\n[SSL]\nSSL_VERIFY=5\n",
             tls_group(pop3=TLS_INVALID, smtp=TLS_INVALID), {}),
            ("words", "[SMTP]\nSMTP_SSL=yes\n[SSL]\nSSL_VERIFY=no\n",
             tls_group(smtp=TLS_INVALID), {}),
            ("verification off and a CA file",
             "[SSL]\nSSL_VERIFY=0\nSSL_CA_FILE=/etc/vorna/ca.pem\n",
             tls_group(verify=VERIFY_OFF, ca_file=line17("/etc/vorna/ca.pem")), {}),
        ]
        for name, ini, group, ports in cases:
            with self.subTest(name):
                r = self.menu("2\n13\ny\n3\n", ini=ini)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(self.last_screen(r), auth_screen(self.path, tls=group, **ports))
                self.assertLessEqual(max(len(line) for line in console(group).split(b"\n")),
                                     79, "wider than an 80-column console")

    def test_mode_items_take_0_to_2_and_keep_the_mode_otherwise(self):
        ini = "[POP3]\nPOP3_SSL=2\nPOP3_PORT=1995\n[SMTP]\nSMTP_SSL=1\nSMTP_PORT=587\n"
        cases = [
            ("0 turns encryption off", "14\n0\n15\n0\n", TLS_NONE, TLS_NONE),
            ("1 and 2", "14\n1\n15\n2\n", POP3_STLS, SMTP_IMPLICIT),
            ("out of range kept", "14\n3\n15\n-1\n", POP3_IMPLICIT, SMTP_STARTTLS),
            ("letters and blanks kept", "14\nstls\n15\n\n  \n x\n", POP3_IMPLICIT, SMTP_STARTTLS),
            ("rest of the line dropped", "14\n1 2\n15\n0 0\n", POP3_STLS, TLS_NONE),
        ]
        for name, answers, pop3, smtp in cases:
            with self.subTest(name):
                r = self.menu("2\n" + answers + "13\ny\n3\n", ini=ini)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(self.last_screen(r),
                                 auth_screen(self.path, port=1995, smtp_port=587,
                                             tls=tls_group(pop3=pop3, smtp=smtp)))

    def test_a_port_at_the_default_of_the_old_mode_follows_the_new_mode(self):
        cases = [
            ("to 2", "", "14\n2\n15\n2\n", dict(port=995, smtp_port=465),
             dict(pop3=POP3_IMPLICIT, smtp=SMTP_IMPLICIT)),
            ("2 back to 0", "[POP3]\nPOP3_SSL=2\n[SMTP]\nSMTP_SSL=2\n", "14\n0\n15\n0\n",
             dict(port=110, smtp_port=25), {}),
            # STARTTLS and STLS share the plain default port.
            ("to 1", "", "14\n1\n15\n1\n", dict(port=110, smtp_port=25),
             dict(pop3=POP3_STLS, smtp=SMTP_STARTTLS)),
            ("2 to 1", "[POP3]\nPOP3_SSL=2\n[SMTP]\nSMTP_SSL=2\n", "14\n1\n15\n1\n",
             dict(port=110, smtp_port=25), dict(pop3=POP3_STLS, smtp=SMTP_STARTTLS)),
            ("a chosen port stays", "[POP3]\nPOP3_PORT=1100\n[SMTP]\nSMTP_PORT=587\n",
             "14\n2\n15\n2\n", dict(port=1100, smtp_port=587),
             dict(pop3=POP3_IMPLICIT, smtp=SMTP_IMPLICIT)),
            ("a refused answer moves nothing", "", "14\n7\n15\nx\n", {}, {}),
        ]
        for name, ini, answers, ports, group in cases:
            with self.subTest(name):
                r = self.menu("2\n" + answers + "13\ny\n3\n", ini=ini)
                self.assertEqual(self.last_screen(r),
                                 auth_screen(self.path, tls=tls_group(**group), **ports))

    def test_mode_questions_explain_the_modes_and_ports(self):
        r = self.menu("2\n14\n1\n15\n1\n13\ny\n3\n")
        for question in (ASK_POP3_SSL, ASK_SMTP_SSL):
            self.assertEqual(r.stdout.count(console(question)), 1, question)

    def test_verification_is_turned_off_only_by_yes(self):
        cases = [("y", VERIFY_OFF), ("Yes", VERIFY_OFF), ("n", "[する]\n"),
                 ("", "[する]\n"), ("x", "[する]\n")]
        for answer, shown in cases:
            with self.subTest(answer=answer):
                r = self.menu("2\n16\n%s\n13\ny\n3\n" % answer, ini="[SSL]\nSSL_VERIFY=0\n")
                self.assertIn(console(ASK_NO_VERIFY), r.stdout)
                self.assertEqual(self.last_screen(r),
                                 auth_screen(self.path, tls=tls_group(verify=shown)))

    def test_ca_file_is_a_whole_line_and_an_empty_line_clears_it(self):
        ini = "[SSL]\nSSL_CA_FILE=/old/ca.pem\n"
        long_path = "/" + "d" * 4095
        cases = [
            ("blanks inside kept, around dropped", "  /etc/my certs/ca.pem \r\n",
             line17("/etc/my certs/ca.pem")),
            ("one pair of quotes dropped", '"C:\\Program Files\\VORNA\\ca.pem"\n',
             line17("C:\\Program Files\\VORNA\\ca.pem")),
            ("Shift_JIS path", "/証明書/ルート.pem\n", line17("/証明書/ルート.pem")),
            ("empty line", "\n", LINE17_SYSTEM),
            ("blanks only", "   \n", LINE17_SYSTEM),
            # Longer than the settings file could give back: refused, the old path stays.
            ("too long", long_path + "\n", line17("/old/ca.pem")),
            ("longest kept", long_path[:-1] + "\n", line17(long_path[:-1])),
        ]
        for name, answer, shown in cases:
            with self.subTest(name):
                r = self.menu("2\n17\n" + answer + "13\ny\n3\n", ini=ini)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(r.stdout.count(console(ASK_CA_FILE)), 1)
                self.assertEqual(self.last_screen(r),
                                 auth_screen(self.path, tls=tls_group(ca_file=shown)))

    def test_ca_file_answer_after_the_rest_of_the_item_line(self):
        # "17 extra" leaves " extra" on the item's line: that is dropped, and the path is
        # the next line.
        r = self.menu("2\n17 extra\n/etc/ca.pem\n13\ny\n3\n")
        self.assertEqual(self.last_screen(r),
                         auth_screen(self.path, tls=tls_group(ca_file=line17("/etc/ca.pem"))))

    def test_saved_and_shown_again(self):
        r = self.menu("2\n14\n2\n15\n1\n16\ny\n17\n/etc/vorna ca.pem\n12\ny\n")
        self.assertEqual(r.status, 0, r)
        values = self.saved()[1]
        self.assertEqual([values[k] for k in (b"POP3_SSL", b"POP3_PORT", b"SMTP_SSL",
                                              b"SMTP_PORT", b"SSL_VERIFY", b"SSL_CA_FILE")],
                         [b"2", b"995", b"1", b"25", b"0", b"/etc/vorna ca.pem"])
        again = self.menu("2\n13\ny\n3\n", ini=None)
        self.assertEqual(self.last_screen(again),
                         auth_screen(self.path, port=995, tls=tls_group(
                             pop3=POP3_IMPLICIT, smtp=SMTP_STARTTLS, verify=VERIFY_OFF,
                             ca_file=line17("/etc/vorna ca.pem"))))
        # Cleared again and saved: the system roots.
        self.menu("2\n16\nn\n17\n\n12\ny\n", ini=None)
        values = self.saved()[1]
        self.assertEqual((values[b"SSL_VERIFY"], values[b"SSL_CA_FILE"]), (b"1", b""))


if __name__ == "__main__":
    unittest.main()
