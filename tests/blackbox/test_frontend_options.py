"""Options as the run meets them: help, the checked limits, the body file, and values of
any length. Runs that pass every check go to a closed port on loopback."""
import os
import unittest

from frontend_texts import error_lines, split_usage
from harness import ProgramTest


class Options(ProgramTest):
    def setUp(self):
        super().setUp()
        self.write("vorna.ini", "[SMTP]\nSMTP_PORT=1\n")

    def passes_checks(self, *args):
        """Runs with a server and a recipient; a run that accepted every option reaches
        the connection, which the closed port refuses."""
        return self.vorna("-h127.0.0.1", *args, "a@example.test")

    def test_help_prints_the_usage_text_and_ends_with_success(self):
        for args in (["-?"], ["-?xyz"], ["-h127.0.0.1", "-?", "-x", "a", "b"], ["-?", "-S"]):
            with self.subTest(args=args):
                r = self.vorna(*args)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(split_usage(self, r.stdout), b"")
        self.assertOutput(self.vorna("-S", "-?"), 0, "")
        # Options before -? have taken effect: an attachment error comes first.
        self.assertOutput(self.vorna("-amissing.bin", "-?"), 3, error_lines(3))

    def test_checked_limits(self):
        cases = [
            ("-s", 256, 8), ("-s", 257, 18),
            ("-T", 1024, 8), ("-T", 1025, 18),
            ("-p", 2, 8), ("-p", 3, 18),
        ]
        for option, length, code in cases:
            with self.subTest(option=option, length=length):
                value = ("9" if option == "-p" else "x") * length
                self.assertOutput(self.passes_checks(option + value), code, error_lines(code))
        # The limit counts bytes: 128 double-byte characters are 256 bytes.
        self.assertOutput(self.passes_checks(("-s" + "あ" * 128).encode("cp932")), 8,
                          error_lines(8))
        self.assertOutput(self.passes_checks(("-s" + "あ" * 128 + "x").encode("cp932")), 18,
                          error_lines(18))

    def test_values_without_a_limit_are_accepted_at_any_length(self):
        # Far beyond 255 bytes, yet within the length of a Windows command line.
        long_text = "v" * 5000
        args = ["-f" + long_text + "@example.test", "-u" + long_text,
                "-F" + "d/" * 1500 + "missing.txt"]
        # The -F path is checked when it is read, so it is the one failure here.
        self.assertOutput(self.passes_checks(*args), 2, error_lines(2))
        self.assertOutput(self.passes_checks(*args[:2]), 8, error_lines(8))

    def test_body_file_is_checked_when_the_option_is_read(self):
        self.write("body.txt", "hello\n")
        self.write("empty.txt", b"")
        os.mkdir(os.path.join(self.cwd, "folder"))
        cases = [
            ("-Fbody.txt", 8), ("-Fempty.txt", 8), ("-F", 8),
            ("-Fmissing.txt", 2), ("-Ffolder", 2),
        ]
        for option, code in cases:
            with self.subTest(option=option):
                self.assertOutput(self.passes_checks(option), code, error_lines(code))
        # -T wins for the body, yet the -F file is still checked.
        self.assertOutput(self.passes_checks("-Tbody", "-Fmissing.txt"), 2, error_lines(2))
        # Checked as the option is read, so before the recipient is missed.
        self.assertOutput(self.vorna("-Fmissing.txt"), 2, error_lines(2))


if __name__ == "__main__":
    unittest.main()
