"""Local files that are not what they seem: a FIFO or device named as the body file, an
attachment or vorna.ini is refused or passed over at once instead of hanging the run; a
saved vorna.ini is owner-only whatever it was; a huge vorna.ini costs its size, not more."""
import os
import time
import unittest

from fake_smtp import closed_port, error_lines
from harness import BIN, RUNNER, WINDOWS, ProgramTest, _PASSED_THROUGH, console

POSIX_NATIVE = not WINDOWS and not RUNNER
# No run below may take long; a hang shows as a time-out of the harness.
BOUND = 20

ENCODE_ERROR = "ERR-0015:エンコードエラー。 \n\n"


@unittest.skipUnless(POSIX_NATIVE, "FIFOs and devices of a POSIX system")
class NotRegularFiles(ProgramTest):
    def fifo(self, name, directory=None):
        path = os.path.join(directory or self.cwd, name)
        os.mkfifo(path)
        return path

    def test_body_file_and_attachment_must_be_regular_files(self):
        self.fifo("pipe")
        os.mkdir(os.path.join(self.cwd, "folder"))
        port = closed_port()
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=%d\r\n" % port)
        cases = [("-Fpipe", 2), ("-F/dev/zero", 2), ("-Ffolder", 2), ("-F/dev/null", 2),
                 ("-apipe", 3), ("-a/dev/zero", 3), ("-afolder", 3)]
        for option, code in cases:
            with self.subTest(option=option):
                r = self.vorna("-h127.0.0.1", option, "r@example.test", timeout=BOUND)
                self.assertEqual((r.status, r.stdout), (code, error_lines(code)), r)
                self.assertEqual(self.work_files(), [])

    def test_attachment_read_from_the_work_directory_must_be_a_regular_file(self):
        # "~x" is checked as written (a file here) but read under the work directory, where
        # a FIFO stands: that is refused when it is opened, not waited on.
        self.write("~x", b"checked")
        self.fifo("x", self.tmp)
        r = self.vorna("-h127.0.0.1", "-a~x", "r@example.test", timeout=BOUND)
        self.assertEqual((r.status, r.stdout), (15, console(ENCODE_ERROR)), r)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["x"])

    def test_settings_file_that_is_a_fifo_counts_as_absent(self):
        self.fifo("vorna.ini")
        r = self.vorna("-S", "-?", timeout=BOUND)
        self.assertEqual((r.status, r.stdout), (0, b""), r)
        # The menu opens and leaves too (its file is then the one beside the program).
        r = self.vorna(stdin=b"3\n", timeout=BOUND)
        self.assertEqual(r.status, 0, r)


@unittest.skipUnless(POSIX_NATIVE, "POSIX permissions and resource use of a native program")
class SettingsFile(ProgramTest):
    def run_measured(self, args, stdin=b""):
        """Runs the program; returns its status and peak resident size in KiB."""
        env = {k: os.environ[k] for k in _PASSED_THROUGH if k in os.environ}
        env.update({k: v for k, v in self.env().items() if v is not None})
        read_end, write_end = os.pipe()
        os.write(write_end, stdin)
        os.close(write_end)
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            pid = os.fork()
            if pid == 0:
                try:
                    os.chdir(self.cwd)
                    os.dup2(read_end, 0)
                    os.dup2(devnull, 1)
                    os.execve(BIN, [BIN] + args, env)
                finally:
                    os._exit(127)
        finally:
            os.close(read_end)
            os.close(devnull)
        deadline = time.monotonic() + 60
        while True:
            done, status, usage = os.wait4(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status), usage.ru_maxrss
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                self.fail("the run did not end in 60 s")
            time.sleep(0.05)

    def test_saving_makes_the_file_owner_only(self):
        for before in (0o644, 0o666, 0o640):
            with self.subTest(mode=oct(before)):
                path = self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=2525\r\n")
                os.chmod(path, before)
                r = self.vorna(stdin=b"2\n12\ny\n", timeout=BOUND)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
                with open(path, "rb") as f:
                    self.assertIn(b"SMTP_PORT=2525\r\n", f.read())

    @unittest.skipIf(os.environ.get("VORNA_SANITIZED"), "a sanitizer build's memory is not the program's")
    def test_huge_file_of_empty_lines_is_read_and_saved_at_its_own_cost(self):
        # 20 MB of empty lines, then the settings: read once, held once.
        size = 20 << 20
        with open(os.path.join(self.cwd, "vorna.ini"), "wb") as f:
            f.write(b"\n" * size)
            f.write(b"[SMTP]\nSMTP_PORT=2525\n")
        limit_kib = 3 * size // 2 // 1024 + 16 * 1024
        status, peak = self.run_measured(["-S", "-?"])
        self.assertEqual(status, 0)
        self.assertLess(peak, limit_kib, "reading took %d KiB" % peak)
        # The menu shows the stored port and saves all sixteen keys after it.
        status, peak = self.run_measured([], stdin=b"2\n12\ny\n")
        self.assertEqual(status, 0)
        self.assertLess(peak, limit_kib, "saving took %d KiB" % peak)
        with open(os.path.join(self.cwd, "vorna.ini"), "rb") as f:
            content = f.read()
        self.assertTrue(content.startswith(b"\n" * size + b"[SMTP]\nSMTP_PORT=2525\n"))
        self.assertEqual(content.count(b"="), 16)


if __name__ == "__main__":
    unittest.main()
