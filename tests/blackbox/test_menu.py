"""The settings menu, driven through a pipe: its screens byte for byte, the answers to each
item, saving, and the endings (exit status 0 in every case, nothing saved unless asked)."""
import base64
import os
import re
import shutil
import subprocess
import unittest

from fake_smtp import FakeSMTP, greet, on
from harness import BIN, RUNNER, WINDOWS, ProgramTest, console, native_path

PROMPT = "番号を入力し、[Enter]キーを押して下さい。:"
MAIN = ("-- VORNA 3.14 設定メニュー --\n(1) - オプション一覧\n(2) - POP3 before SMTP設定\n"
        "(3) - 終了\n" + PROMPT)
ASK_BACK = "メインメニューに戻ります。よろしいですか？[Y/N]:"

LINE1_UNUSED = "( 1) - POP before SMTP有無   [使わない]\n"
LINE1_NO_APOP = "( 1) - POP before SMTPとAPOP [使う/APOPは使わない(標準)]\n"
LINE1_APOP = "( 1) - POP before SMTPとAPOP [使う/APOPを利用]\n"
LINE8_UNUSED = "( 8) - SMTP認証              [使わない]\n"
LINE8_METHODS = {1: "( 8) - SMTP認証              [使う/AUTH CRAM-MD5を利用(標準)]\n",
                 2: "( 8) - SMTP認証              [使う/AUTH PLAINを利用]\n",
                 3: "( 8) - SMTP認証              [使う/AUTH LOGINを利用]\n",
                 4: "( 8) - SMTP認証              [使う/AUTH XOAUTH2を利用]\n",
                 5: "( 8) - SMTP認証              [使う/AUTH OAUTHBEARERを利用]\n"}

# The encryption group between the SMTP group and the rule, with its default values.
TLS_NONE = "[使わない]\n"
LINE17_SYSTEM = "(17) - CA証明書ファイル      [未指定(システム標準)]\n"


def tls_group(pop3=TLS_NONE, smtp=TLS_NONE, verify="[する]\n",
              ca_file=LINE17_SYSTEM):
    return ("\n▽-<暗号化(SSL/TLS)関連> -----------------------------\n"
            "(14) - POP3暗号化            " + pop3 +
            "(15) - SMTP暗号化            " + smtp +
            "(16) - サーバ証明書の検証    " + verify + ca_file)


KEY_ORDER = [b"POP3_USE", b"APOP_USE", b"POP3_SERVER", b"POP3_USER", b"POP3_PASS",
             b"POP3_PORT", b"POP3_AFTER_WAIT", b"POP3_TIME_OUT",
             b"SMTP_AUTH", b"SMTP_USER", b"SMTP_PASS", b"SMTP_PORT"]
# Saving writes the encryption keys after the twelve, each into its section: the file
# then holds them in this order.
SAVED_ORDER = KEY_ORDER[:8] + [b"POP3_SSL"] + KEY_ORDER[8:] + [b"SMTP_SSL", b"SSL_VERIFY",
                                                                b"SSL_CA_FILE"]


def auth_screen(path, line1=LINE1_UNUSED, server="dummy", user="dummy", pop_pass="24682468",
                port=110, wait=300, time_out=10, line8=LINE8_UNUSED, smtp_user="dummy",
                smtp_pass="24682468", smtp_port=25, tls=None, smtp_command="", pop_command="",
                oauth="サインインしていません"):
    return ("\n------- VORNA 3.14 POP3/SMTP認証 設定メニュー -------\n\n"
            "▽-<POPサーバ関連> -----------------------------------\n"
            + line1 +
            "( 2) - POPサーバ             [%s]\n" % server +
            "( 3) - POPユーザアカウント   [%s]\n" % user +
            ("( 4) - POPパスワード         [%s]※暗号化済\n" % pop_pass if not pop_command
             else "( 4) - POPパスワード         [コマンドを使用(19)]\n") +
            "( 5) - POPサーバポート番号   [%d]\n" % port +
            "( 6) - 遅延待ち時間(msec)    [%d]\n" % wait +
            "( 7) - タイムアウト時間(sec) [%d]\n" % time_out +
            "\n▽-<SMTPサーバ関連> ----------------------------------\n"
            + line8 +
            "( 9) - SMTPユーザアカウント  [%s]\n" % smtp_user +
            ("(10) - SMTPパスワード        [%s]※暗号化済\n" % smtp_pass if not smtp_command
             else "(10) - SMTPパスワード        [コマンドを使用(18)]\n") +
            "(11) - SMTPサーバポート番号  [%d]\n" % smtp_port +
            (tls if tls is not None else tls_group()) +
            "\n▽-<パスワード取得コマンド> --------------------------\n"
            "(18) - SMTPパスワード取得    [%s]\n" % (smtp_command or "未設定") +
            "(19) - POPパスワード取得     [%s]\n" % (pop_command or "未設定") +
            "\n▽-<OAuth 2.0サインイン> -----------------------------\n"
            "(20) - OAuth 2.0サインイン    [%s]\n" % oauth +
            "------------------------------------------------------\n"
            "(12) - セーブ終了            [%s]\n" % path +
            "(13) - メインメニューに戻る\n" + PROMPT)


class MenuTest(ProgramTest):
    def setUp(self):
        super().setUp()
        self.cwd = os.path.realpath(self.cwd)
        self.ini = os.path.join(self.cwd, "vorna.ini")
        self.path = native_path(self.ini)

    def menu(self, answers, ini=""):
        """Runs the menu with a settings file in the current directory (so that it is the
        one shown and saved) and the answers on standard input."""
        if ini is not None:
            self.write("vorna.ini", ini)
        return self.vorna(stdin=answers.encode("cp932"), timeout=20)

    def saved(self):
        """The keys of the saved file in their order, and their values."""
        with open(self.ini, "rb") as f:
            pairs = [line.split(b"=", 1) for line in f.read().splitlines() if b"=" in line]
        return [k.strip() for k, _ in pairs], {k.strip(): v.strip() for k, v in pairs}

    def last_screen(self, result):
        """The last authentication settings screen of a run, as text."""
        text = result.stdout.replace(b"\r\n", b"\n").decode("cp932")
        start = text.rindex("\n------- VORNA")
        return text[start:text.index(PROMPT, start) + len(PROMPT)]


class Screens(MenuTest):
    def test_exit_at_once_creates_nothing(self):
        r = self.menu("3\n", ini=None)
        self.assertOutput(r, 0, MAIN)
        self.assertEqual(os.listdir(self.cwd), [])

    def test_both_screens_byte_for_byte(self):
        r = self.menu("2\n13\nn\n13\ny\n3\n")
        screen = auth_screen(self.path)
        self.assertOutput(r, 0, MAIN + screen + ASK_BACK + screen + ASK_BACK + MAIN)
        self.assertEqual(os.path.getsize(self.ini), 0)

    def test_invalid_choices_show_the_menu_again(self):
        screen = auth_screen(self.path)
        cases = [
            ("letters at the main menu", "x\n3\n", MAIN + MAIN),
            ("number out of range", "7\n0\n3\n", MAIN + MAIN + MAIN),
            ("letters at the settings menu", "2\nabc\n21\n13\ny\n3\n",
             MAIN + screen + screen + screen + ASK_BACK + MAIN),
        ]
        for name, answers, output in cases:
            with self.subTest(name):
                self.assertOutput(self.menu(answers), 0, output)

    def test_usage_item_returns_to_the_menu(self):
        r = self.menu("1\n3\n")
        self.assertEqual(r.status, 0)
        self.assertTrue(r.stdout.startswith(console(MAIN)), r)
        self.assertTrue(r.stdout.endswith(console(MAIN)), r)

    def test_end_of_input_at_every_prompt_ends_without_saving(self):
        ini = "[POP3]\nPOP3_PORT=111\n"
        for answers in ["", "1\n", "2\n", "2\n1\n", "2\n1\ny\n", "2\n2\n", "2\n3\n", "2\n4\n",
                        "2\n5\n", "2\n5\n  \n\n", "2\n6\n", "2\n7\n", "2\n8\n", "2\n8\ny\n",
                        "2\n9\n", "2\n10\n", "2\n11\n", "2\n12\n", "2\n13\n", "2\n13\ny\n",
                        "2\n5\n25\n", "2\n14\n", "2\n15\n", "2\n16\n", "2\n17\n",
                        "2\n18\n", "2\n19\n", "2\n8\ny\n4\n10\n"]:
            with self.subTest(answers=answers):
                r = self.menu(answers, ini=ini)
                self.assertEqual(r.status, 0, r)
                with open(self.ini, "rb") as f:
                    self.assertEqual(f.read(), ini.encode())


class Items(MenuTest):
    def test_pop_before_smtp_answers(self):
        cases = [
            ("y then n", "", "y\nn\n", LINE1_NO_APOP, b"1", b"0"),
            ("y then y", "", "Y\nyes\n", LINE1_APOP, b"1", b"1"),
            ("N keeps APOP", "[POP3]\nPOP3_USE=1\nAPOP_USE=1\n", "N\n", LINE1_UNUSED, b"0", b"1"),
            ("empty line is no", "[POP3]\nPOP3_USE=1\n", "\n", LINE1_UNUSED, b"0", b"0"),
        ]
        for name, ini, answers, line1, pop3_use, apop_use in cases:
            with self.subTest(name):
                r = self.menu("2\n1\n" + answers + "12\ny\n", ini=ini)
                self.assertEqual(r.status, 0, r)
                self.assertIn(line1, self.last_screen(r))
                _, values = self.saved()
                self.assertEqual((values[b"POP3_USE"], values[b"APOP_USE"]), (pop3_use, apop_use))

    def test_smtp_authentication_answers(self):
        cases = [
            ("y then 2", "y\n2\n", LINE8_METHODS[2], b"2"),
            ("y then 3", "y\n3\n", LINE8_METHODS[3], b"3"),
            ("y then 4", "y\n4\n", LINE8_METHODS[4], b"4"),
            ("y then 5", "y\n5\n", LINE8_METHODS[5], b"5"),
            ("y then 6", "y\n6\n", LINE8_UNUSED, b"0"),
            ("y then letters", "y\nplain\n", LINE8_UNUSED, b"0"),
            ("n", "n\n", LINE8_UNUSED, b"0"),
        ]
        for name, answers, line8, stored in cases:
            with self.subTest(name):
                r = self.menu("2\n8\n" + answers + "12\ny\n", ini="[SMTP]\nSMTP_AUTH=1\n")
                self.assertEqual(r.status, 0, r)
                self.assertIn(line8, self.last_screen(r))
                self.assertEqual(self.saved()[1][b"SMTP_AUTH"], stored)

    def test_method_outside_one_to_five_from_the_file_shows_not_used(self):
        for value in (6, -1):
            with self.subTest(smtp_auth=value):
                r = self.menu("2\n13\ny\n3\n", ini="[SMTP]\nSMTP_AUTH=%d\n" % value)
                self.assertIn(LINE8_UNUSED, self.last_screen(r))

    def test_number_answers(self):
        cases = [
            ("letters leave the port", "5\nabc\n", dict(port=110)),
            ("negative wait", "6\n-5\n", dict(wait=-5)),
            ("blank lines are skipped", "7\n\n  \n 7\n", dict(time_out=7)),
            ("rest of the line dropped", "11\n2525 and more\n5\n995\n", dict(smtp_port=2525, port=995)),
        ]
        for name, answers, shown in cases:
            with self.subTest(name):
                r = self.menu("2\n" + answers + "13\ny\n3\n")
                self.assertEqual(r.status, 0, r)
                self.assertEqual(self.last_screen(r), auth_screen(self.path, **shown))

    def test_texts_take_one_word_of_at_most_255_bytes(self):
        long_name = "h" * 300
        r = self.menu("2\n2\nmail example\n3\n%s\n9\n  smtp-user\n13\ny\n3\n" % long_name)
        self.assertEqual(self.last_screen(r),
                         auth_screen(self.path, server="mail", user="h" * 255,
                                     smtp_user="smtp-user"))

    def test_save_after_refusal_writes_all_twelve_keys_in_order(self):
        answers = ("2\n1\ny\ny\n2\nmail.example\n3\nbob\n5\n1110\n6\n500\n7\n20\n"
                   "8\ny\n3\n9\ncarol\n11\n2525\n12\nn\n12\ny\n")
        r = self.menu(answers)
        self.assertEqual(r.status, 0, r)
        save_prompt = console("%sに設定を保存します。よろしいですか？[Y/N]:" % self.path)
        self.assertEqual(r.stdout.count(save_prompt), 2)
        keys, values = self.saved()
        self.assertEqual(keys, SAVED_ORDER)
        self.assertEqual([values[k] for k in SAVED_ORDER],
                         [b"1", b"1", b"mail.example", b"bob", b"24682468", b"1110", b"500",
                          b"20", b"0", b"3", b"carol", b"24682468", b"2525", b"0", b"1", b""])
        # A later start shows what was saved.
        again = self.menu("2\n13\ny\n3\n", ini=None)
        self.assertEqual(self.last_screen(again),
                         auth_screen(self.path, line1=LINE1_APOP, server="mail.example",
                                     user="bob", port=1110, wait=500, time_out=20,
                                     line8=LINE8_METHODS[3], smtp_user="carol",
                                     smtp_port=2525))

    def test_file_created_by_saving_is_owner_only(self):
        if WINDOWS or RUNNER:
            self.skipTest("POSIX permissions of a native program")
        # With no settings file anywhere, the one beside the program is created; a copy of
        # the program keeps that inside the test's directory.
        program = os.path.join(self.dir, "bin", "vorna.exe")
        os.mkdir(os.path.dirname(program))
        shutil.copy(BIN, program)
        completed = subprocess.run([program], cwd=self.cwd, input=b"2\n12\ny\n",
                                   env=self.env_for_copy(), stdout=subprocess.PIPE, timeout=20)
        self.assertEqual(completed.returncode, 0, completed)
        created = os.path.join(self.dir, "bin", "vorna.ini")
        self.assertEqual(os.stat(created).st_mode & 0o777, 0o600)
        self.assertEqual(os.listdir(self.cwd), [])

    def env_for_copy(self):
        env = {k: v for k, v in os.environ.items() if k in ("PATH", "HOME", "LANG")}
        env["TMP"] = self.tmp
        return env


class Passwords(MenuTest):
    def dialogue(self, item, password):
        r = self.menu("2\n%d\n%s\n12\ny\n" % (item, password))
        self.assertEqual(r.status, 0, r)
        return r

    def test_password_is_shown_typed_stored_and_read_back(self):
        for item, key, password, digits in [(4, b"POP3_PASS", "abcdefgh", 16),
                                            (4, b"POP3_PASS", "abc", 16),
                                            (10, b"SMTP_PASS", "abcdefghi", 32)]:
            with self.subTest(item=item, password=password):
                r = self.dialogue(item, password)
                text = r.stdout.replace(b"\r\n", b"\n").decode("cp932")
                found = re.search(r"\[%s\] -> \[([0-9A-F]+)\] ->\[%s\]\n" % (password, password),
                                  text)
                self.assertTrue(found, r)
                stored = found.group(1)
                self.assertEqual(len(stored), digits)
                self.assertIn("[%s]※暗号化済\n" % stored, self.last_screen(r))
                self.assertEqual(self.saved()[1][key], stored.encode())

    def test_password_too_long_to_store_is_refused(self):
        r = self.dialogue(4, "p" * 249)
        self.assertNotIn(b"->", r.stdout)
        self.assertEqual(self.saved()[1][b"POP3_PASS"], b"24682468")

    def test_longest_storable_password(self):
        r = self.dialogue(10, "q" * 248)
        self.assertEqual(len(self.saved()[1][b"SMTP_PASS"]), 496)
        self.assertIn(b"->[" + b"q" * 248 + b"]", r.stdout)


class PasswordCommands(MenuTest):
    SMTP_COMMAND = '"/opt/helper tools/token" --account "me@example.test"'

    def test_commands_set_shown_saved_and_cleared(self):
        r = self.menu("2\n18\n  %s  \n19\npass show mail/pop3\n12\ny\n" % self.SMTP_COMMAND)
        self.assertEqual(r.status, 0, r)
        # The whole line, blanks and quotes inside kept; the password lines name the item.
        self.assertEqual(self.last_screen(r),
                         auth_screen(self.path, smtp_command=self.SMTP_COMMAND,
                                     pop_command="pass show mail/pop3"))
        keys, values = self.saved()
        self.assertEqual(keys, SAVED_ORDER[:9] + [b"POP3_PASS_COMMAND"] + SAVED_ORDER[9:14]
                         + [b"SMTP_PASS_COMMAND"] + SAVED_ORDER[14:])
        self.assertEqual(values[b"POP3_PASS_COMMAND"], b"pass show mail/pop3")
        # A later start shows them as saved; an empty line clears one.
        again = self.menu("2\n18\n\n12\ny\n", ini=None)
        self.assertEqual(self.last_screen(again),
                         auth_screen(self.path, pop_command="pass show mail/pop3"))
        self.assertEqual(self.saved()[1][b"SMTP_PASS_COMMAND"], b"")

    def test_password_items_keep_working_beside_a_command(self):
        r = self.menu("2\n10\nabcdefgh\n12\ny\n",
                      ini="[SMTP]\nSMTP_PASS_COMMAND=helper\n")
        self.assertIn(b"[abcdefgh] -> [", r.stdout)
        self.assertIn(console("(10) - SMTPパスワード        [コマンドを使用(18)]\n"), r.stdout)
        self.assertRegex(self.saved()[1][b"SMTP_PASS"], rb"^[0-9A-F]{16}$")

    def test_token_item_under_the_bearer_methods(self):
        token = "ya29." + "t" * 3000
        r = self.menu("2\n10\n%s\n12\ny\n" % token, ini="[SMTP]\nSMTP_AUTH=4\n")
        self.assertEqual(r.status, 0, r)
        stored = self.saved()[1][b"SMTP_PASS"]
        self.assertRegex(stored, rb"^[0-9A-F]+$")
        self.assertEqual(len(stored), 2 * ((len(token) + 7) // 8 * 8))
        # The token and its stored form are shown by their beginnings only.
        shown = token[:32].encode()
        self.assertIn(console(b"[" + shown + b"...] -> [" + stored[:32] + b"...] ->[" + shown +
                              b"...]\n"), r.stdout)
        self.assertNotIn(token[:100].encode(), r.stdout)
        self.assertIn(console("(10) - SMTPパスワード        [%s...]※暗号化済\n"
                              % stored[:32].decode()), r.stdout)


class RoundTrip(MenuTest):
    def test_password_set_in_the_menu_arrives_with_auth_plain(self):
        password = "p@ss-W0rd!"
        script = [greet("220 fake\r\n"), on("EHLO", "250 OK\r\n"), on("AUTH", "535 denied\r\n")]
        with FakeSMTP(script) as server:
            r = self.menu("2\n8\ny\n2\n9\ncarol\n10\n%s\n11\n%d\n12\ny\n"
                          % (password, server.port))
            self.assertEqual(r.status, 0, r)
            r = self.vorna("-h127.0.0.1", "a@example.test", timeout=20)
        self.assertOutput(r, 11, "ERR-0011:メールサーバハンドリングエラー。 \n[server->535] \n")
        self.assertEqual(server.problems, [])
        command, _, credentials = server.commands[1].rstrip(b"\r\n").rpartition(b" ")
        self.assertEqual(command, b"AUTH PLAIN")
        self.assertEqual(base64.b64decode(credentials), b"carol\0carol\0" + password.encode())

if __name__ == "__main__":
    unittest.main()
