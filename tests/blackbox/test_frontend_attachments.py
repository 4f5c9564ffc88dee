"""Attachments (-a): the checks made when the option is read, the work files in the work
directory (their names, content and owner-only mode), and their removal whatever way the
run ends. Runs that pass every check go to a closed port on loopback."""
import base64
import os
import re
import stat
import subprocess
import threading
import unittest

import harness
from frontend_texts import BANNER, error_lines
from harness import ProgramTest, console

SEP = "\\" if harness.WINDOWS else "/"
WORK_FILE = re.compile(r"^~S([0-9A-F]+)-(\d+)\.tmp$")


def part_body(data):
    """A work file's content: the transfer-encoding line, a blank line, the Base64 lines
    of 76 characters, and one CR LF that ends the last line (or stands alone)."""
    text = base64.b64encode(data)
    full = len(text) // 76
    lines = b"".join(text[i * 76:(i + 1) * 76] + b"\r\n" for i in range(full))
    return b"Content-Transfer-Encoding: base64\r\n\r\n" + lines + text[full * 76:] + b"\r\n"


class Attachments(ProgramTest):
    def setUp(self):
        super().setUp()
        self.write("vorna.ini", "[SMTP]\nSMTP_PORT=1\n")

    def send(self, *args, env=None):
        return self.vorna(*args, "-h127.0.0.1", "to@example.test", env=env)

    def held_run(self, *args):
        """Runs with the information block and a recipient list too long for the output
        pipe, so that the program stops while printing the block, after -a has made its
        work files. Returns the work directory's listing with each file's bytes and mode,
        then the run's result once its output has been read."""
        full_env = {k: os.environ[k] for k in harness._PASSED_THROUGH if k in os.environ}
        full_env.update({k: v for k, v in self.env().items() if v is not None})
        recipients = ",".join("r%05d@example.test" % i for i in range(6000))
        command = ([*harness.RUNNER.split(";")] if harness.RUNNER else []) + [
            harness.BIN, "-i", *args, "-h127.0.0.1", "-f" + "s" * 100000, recipients]
        process = subprocess.Popen(command, cwd=self.cwd, env=full_env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        watchdog = threading.Timer(60, process.kill)
        watchdog.start()
        try:
            first = process.stdout.read(len(BANNER))
            self.assertEqual(first, console(BANNER))
            seen = {}
            for name in sorted(os.listdir(self.tmp)):
                path = os.path.join(self.tmp, name)
                with open(path, "rb") as f:
                    seen[name] = (f.read(), stat.S_IMODE(os.stat(path).st_mode))
            rest, _ = process.communicate(timeout=60)
        finally:
            watchdog.cancel()
            if process.poll() is None:
                process.kill()
                process.wait()
        self.pid = process.pid
        return seen, harness.Result(process.returncode, first + rest, b"")

    @unittest.skipIf(harness.WINDOWS, "the command line is too short there to fill the pipe")
    def test_work_files_are_named_written_and_removed(self):
        payloads = {"a.bin": bytes(range(256)) * 3, "empty.bin": b"", "line.bin": b"x" * 57}
        for name, data in payloads.items():
            self.write(name, data)
        seen, result = self.held_run("-aa.bin,,empty.bin,line.bin")
        names = sorted(seen)
        matches = [WORK_FILE.match(n) for n in names]
        self.assertTrue(all(matches), names)
        self.assertEqual(len({m.group(1) for m in matches}), 1, "one tick and process id")
        self.assertEqual([m.group(2) for m in matches], ["0", "1", "2"])
        if not harness.RUNNER:
            self.assertTrue(matches[0].group(1).endswith("%X" % self.pid), names)
        for (name, data), work_file in zip(payloads.items(), names):
            content, mode = seen[work_file]
            self.assertEqual(content, part_body(data), name)
            self.assertEqual(mode, 0o600, name)
        self.assertEqual(result.status, 8, result)
        self.assertTrue(result.stdout.endswith(console(error_lines(8))))
        self.assertEqual(self.work_files(), [], "work files are removed after a failure")

    @unittest.skipIf(harness.WINDOWS, "the command line is too short there to fill the pipe")
    def test_repeated_option_replaces_the_earlier_files(self):
        self.write("a.bin", b"first")
        self.write("b.bin", b"second")
        seen, result = self.held_run("-aa.bin", "-ab.bin")
        self.assertEqual(len(seen), 1, sorted(seen))
        (content, _), = seen.values()
        self.assertEqual(content, part_body(b"second"))
        self.assertEqual(result.status, 8, result)
        self.assertEqual(self.work_files(), [])

    @unittest.skipIf(harness.WINDOWS, "the command line is too short there to fill the pipe")
    def test_tilde_path_is_checked_as_written_and_read_from_the_work_directory(self):
        os.mkdir(os.path.join(self.cwd, "~"))
        self.write("x.bin", b"checked only", directory=os.path.join(self.cwd, "~"))
        self.write("x.bin", b"sent", directory=self.tmp)
        seen, result = self.held_run("-a~" + SEP + "x.bin")
        work_files = [content for name, (content, _) in seen.items() if WORK_FILE.match(name)]
        self.assertEqual(work_files, [part_body(b"sent")])
        self.assertEqual(result.status, 8, result)

    def test_refused_paths_end_the_run_before_any_work_file(self):
        self.write("a.bin", b"a")
        self.write('q"uote.bin', b"q")
        os.mkdir(os.path.join(self.cwd, "folder"))
        for value in ("missing.bin", "a.bin,missing.bin", "folder", 'q"uote.bin',
                      "a.bin,~" + SEP + "absent.bin"):
            with self.subTest(value=value):
                self.assertOutput(self.send("-a" + value), 3, error_lines(3))
                self.assertEqual(self.work_files(), [])
        # The -a check happens when the option is read, before the recipient check.
        self.assertOutput(self.vorna("-amissing.bin"), 3, error_lines(3))

    def test_encoding_failure_removes_the_files_already_written(self):
        # "~x.bin" exists as written, but the encoder reads the work directory's name
        # followed by "x.bin", which does not exist.
        self.write("a.bin", b"a")
        self.write("~x.bin", b"x")
        self.assertOutput(self.send("-aa.bin,~x.bin"), 15, error_lines(15))
        self.assertEqual(self.work_files(), [])

    def test_work_directory_choice(self):
        self.write("a.bin", b"a")
        missing = os.path.join(self.dir, "no-such-dir")
        cases = [
            {"TMP": missing},
            {"TMP": None, "TEMP": missing},
            {"TMP": None, "TEMP": None, "TMPDIR": missing},
        ]
        if harness.WINDOWS:
            cases.pop()
        for variables in cases:
            with self.subTest(variables=variables):
                env = self.env(**{k: harness.native_path(v) if v else v
                                  for k, v in variables.items()})
                self.assertOutput(self.send("-aa.bin", env=env), 4, error_lines(4))
        # With none of them the current directory is used, and cleaned up again.
        r = self.send("-aa.bin", env=self.env(TMP=None, TEMP=None, TMPDIR=None))
        self.assertNotEqual(r.status, 4, r)
        self.assertEqual(sorted(os.listdir(self.cwd)), ["a.bin", "vorna.ini"])

    def test_files_are_removed_after_help(self):
        self.write("a.bin", b"a")
        r = self.vorna("-S", "-aa.bin", "-?")
        self.assertOutput(r, 0, "")
        self.assertEqual(self.work_files(), [])


if __name__ == "__main__":
    unittest.main()
