"""A token endpoint that answers nothing: the send gives up after its one time limit for
the whole exchange (60 s) with error 28, before anything goes to the mail server. A file
of its own, as it takes a minute."""
import time
import unittest

from fake_smtp import FakeSMTP, dialogue
from harness import console
from oauth_support import CLIENT, USER, OAuthTest, error_lines

LIMIT = 60


class TokenDeadline(OAuthTest):
    def test_a_silent_token_endpoint_ends_the_run_with_28_within_the_limit(self):
        self.mock.configure(ttl=120)
        self.signed_in()
        self.mock.script(CLIENT, refresh=["silence:%d" % (LIMIT + 30)])
        started = time.monotonic()
        with FakeSMTP(dialogue()) as server:
            self.write_ini(server.port, self.settings(4))
            r = self.vorna("-h127.0.0.1", "-d", "-f" + USER, "-Tbody", "b@example.test",
                           timeout=LIMIT + 60)
            took = time.monotonic() - started
        self.assertEqual(r.status, 28, r)
        self.assertTrue(r.stdout.endswith(console(error_lines(28))), r)
        self.assertRegex(r.stdout, rb"\[oauth token : 127\.0\.0\.1 \([^)]+\)\]")
        self.assertFalse(server.connected)
        self.assertEqual(self.work_files(), [])
        self.assertGreaterEqual(took, LIMIT - 1)
        self.assertLess(took, LIMIT + 10)


if __name__ == "__main__":
    unittest.main()
