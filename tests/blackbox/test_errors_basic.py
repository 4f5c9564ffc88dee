"""The simplest endings of a delivery run: the error line and the exit status."""
import unittest

from harness import ProgramTest


class BasicErrors(ProgramTest):
    def test_connection_failure_prints_code_and_empty_line(self):
        # Port 1 on loopback refuses; the SMTP port comes from the settings file.
        self.write("vorna.ini", "[SMTP]\nSMTP_PORT=1\n")
        r = self.vorna("-h127.0.0.1", "a@example.test")
        self.assertOutput(r, 8, "ERR-0008:メールサーバとのコネクションエラー。 \n\n")


if __name__ == "__main__":
    unittest.main()
