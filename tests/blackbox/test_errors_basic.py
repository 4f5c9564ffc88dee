"""The endings of a delivery run that the front end decides: which check comes first,
the error lines, and what silent mode removes. Runs that pass every check are pointed at
a closed port on loopback, so they end with the connection error."""
import unittest

from frontend_texts import error_lines, split_usage
from harness import ProgramTest, console


class BasicErrors(ProgramTest):
    def setUp(self):
        super().setUp()
        # Port 1 on loopback refuses; the SMTP port comes from the settings file.
        self.write("vorna.ini", "[SMTP]\nSMTP_PORT=1\n")

    def test_connection_failure_prints_code_and_empty_line(self):
        r = self.vorna("-h127.0.0.1", "a@example.test")
        self.assertOutput(r, 8, "ERR-0008:メールサーバとのコネクションエラー。 \n\n")

    def test_missing_values_after_the_last_argument(self):
        cases = [
            # The recipient is checked before the server.
            (["-h127.0.0.1"], 1),
            (["-d"], 1),
            (["a@example.test"], 12),
            (["a@example.test", "-h"], 12),
            # An empty recipient argument ends the run when it is met.
            (["", "-h127.0.0.1"], 1),
            (["-h127.0.0.1", "", "-x"], 1),
        ]
        for args, code in cases:
            with self.subTest(args=args):
                self.assertOutput(self.vorna(*args), code, error_lines(code))

    def test_recipient_with_line_break_is_refused_before_anything_is_sent(self):
        for recipient in ("a@example.test\r\nRSET", "a@example.test,b@x\n", "\rx"):
            with self.subTest(recipient=recipient):
                self.assertOutput(self.vorna("-h127.0.0.1", recipient), 1, error_lines(1))

    def test_silent_mode_removes_the_error_lines_from_where_it_stands(self):
        self.assertOutput(self.vorna("-S", "a@example.test"), 12, "")
        self.assertOutput(self.vorna("-h127.0.0.1", "a@example.test", "-S"), 8, "")
        # A failure raised before -S is read is still printed.
        self.assertOutput(self.vorna("-s" + "x" * 257, "-S"), 18, error_lines(18))
        self.assertOutput(self.vorna("-S", "-s" + "x" * 257), 18, "")

    def test_option_errors_print_the_usage_text_first(self):
        cases = [
            ["-x"],
            ["-"],
            ["-H127.0.0.1"],                    # options are case-sensitive
            [b"-\x82\xa0", "a@example.test"],   # a double-byte character's first byte
            ["-h", "127.0.0.1", "a@example.test"],  # the host becomes the recipient list
            ["a@example.test", "b@example.test"],
            ["-h127.0.0.1\r\nX", "a@example.test"],
            ["-fa@example.test\nRCPT TO:<b@x>", "a@example.test"],
            ["-sHi\r\nBcc: c@x", "a@example.test"],
            ["a@example.test", "-x", "-S"],
        ]
        for args in cases:
            with self.subTest(args=args):
                r = self.vorna(*args)
                self.assertEqual(r.status, 17, r)
                self.assertEqual(split_usage(self, r.stdout), console(error_lines(17)))
        self.assertOutput(self.vorna("-S", "-x"), 17, "")


if __name__ == "__main__":
    unittest.main()
