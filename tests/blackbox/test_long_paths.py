"""Paths longer than the 260 characters of the classic Windows limit: the body file and an
attachment named by a long relative path, a long work directory, a settings file in a long
directory, read and saved, and the token file beside it. They work as short ones do, on
every system."""
import os
import unittest

from fake_smtp import DeliveryTest, FakeSMTP, base64_part, dialogue, head
from harness import WINDOWS, console, native_path
from oauth_support import CLIENT, OAuthTest

SEP = "\\" if WINDOWS else "/"


def deep_directory(base, depth=5, width=110):
    """Creates depth nested directories of width characters each under base; returns the
    relative path (with the target's separator) and the absolute one."""
    names = [("%d" % i) * width for i in range(depth)]
    absolute = os.path.join(base, *names)
    os.makedirs(absolute)
    return SEP.join(names), absolute


class LongPaths(DeliveryTest):
    def test_body_file_and_attachment_by_long_relative_paths(self):
        relative, absolute = deep_directory(self.cwd)
        self.write("body.txt", b"deep body\n", absolute)
        self.write("a.bin", b"\x00\x01deep", absolute)
        body = relative + SEP + "body.txt"
        attachment = relative + SEP + "a.bin"
        self.assertGreater(len(body), 550)
        r, server = self.deliver(dialogue(), "-F" + body, "-a" + attachment, "b@example.test")
        self.assertClean(r, server)
        data = self.the_message(server)
        self.assertIn(b"deep body\r\n", data)
        self.assertIn(b'filename="a.bin"', data)
        self.assertIn(base64_part(b"\x00\x01deep"), data)

    def test_body_file_by_long_relative_path_alone(self):
        relative, absolute = deep_directory(self.cwd)
        self.write("body.txt", b"x\n", absolute)
        r, server = self.deliver(dialogue(), "-F" + relative + SEP + "body.txt", "b@example.test")
        self.assertClean(r, server)
        self.assertMessage(server, head() + b"x\r\n\r\n.\r\n")

    def test_long_work_directory_is_used_and_left_empty(self):
        _, work = deep_directory(self.tmp, depth=3)
        self.write("a.bin", b"attached")
        env = self.env(TMP=native_path(work))
        r, server = self.deliver(dialogue(), "-aa.bin", "-Tbody", "b@example.test", env=env)
        self.assertEqual(server.problems, [])
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        self.assertIn(base64_part(b"attached"), self.the_message(server))
        self.assertEqual(os.listdir(work), [], "work files left behind")

    def test_settings_file_in_a_long_directory_is_read_and_saved(self):
        _, windir = deep_directory(self.dir, depth=3)
        ini = os.path.join(windir, "vorna.ini")
        self.assertGreater(len(native_path(ini)), 300)
        with open(ini, "wb") as f:
            f.write(b"[POP3]\r\nPOP3_USER=kept\r\n")
        env = self.env(windir=native_path(windir))
        with FakeSMTP(dialogue()) as server:
            # The menu saves the server's port into that file ...
            r = self.vorna(stdin=b"2\n11\n%d\n12\ny\n" % server.port, env=env, timeout=30)
            self.assertEqual(r.status, 0, r)
            with open(ini, "rb") as f:
                saved = f.read()
            self.assertIn(b"SMTP_PORT=%d" % server.port, saved)
            self.assertIn(b"POP3_USER=kept", saved)
            self.assertEqual(os.listdir(self.cwd), [], "saved somewhere else")
            # ... and a send reads it from there.
            r = self.vorna("-h127.0.0.1", "-Tx", "b@example.test", env=env, timeout=30)
        self.assertClean(r, server)


class LongPathTokenFile(OAuthTest):
    def test_token_file_beside_a_settings_file_in_a_long_directory(self):
        _, windir = deep_directory(self.dir, depth=3)
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(4), directory=windir)
        self.mock.script(CLIENT, device=["success"])
        env = self.env(windir=native_path(windir))
        r = self.vorna(stdin=b"2\n20\n3\n\n\n1\n12\ny\n", env=env)
        self.assertEqual(sorted(os.listdir(windir)), ["vorna.ini", "vorna.tok"], r)
        info = self.vorna("-i", "-h127.0.0.1", "-Tx", "b@example.test", env=env)
        self.assertIn(console("サインイン済み"), info.stdout, info)
        # Signing out removes it there.
        r = self.vorna(stdin=b"2\n20\n1\n13\ny\n3\n", env=env)
        self.assertEqual(os.listdir(windir), ["vorna.ini"], r)


if __name__ == "__main__":
    unittest.main()
