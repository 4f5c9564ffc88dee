"""Which settings file a run uses: the current directory, then the directory named by
"windir", then the file beside the program named after it. The chosen file is observed
through its SMTP_PORT: each candidate names the port of its own listener, and the
listener that is called tells which file was read."""
import os
import shutil
import socket
import threading
import unittest
from unittest import mock

import harness
from harness import ProgramTest, WINDOWS, native_path


class Listener:
    """A loopback port that records whether a client called, and turns it away at once
    with a 421 greeting."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.called = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self.called = True
            try:
                conn.sendall(b"421 closing\r\n")
            except OSError:
                pass
            conn.close()

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()


class SettingsSearchOrder(ProgramTest):
    def setUp(self):
        super().setUp()
        self.windir = os.path.join(self.dir, "windows")
        os.mkdir(self.windir)
        self.bindir = os.path.join(self.dir, "bin")
        os.mkdir(self.bindir)
        # A copy of the program under another name: its settings file is mailer.ini.
        name = "mailer.exe" if WINDOWS else "mailer"
        self.program = os.path.join(self.bindir, name)
        shutil.copy2(harness.BIN, self.program)
        self.listeners = {place: Listener() for place in ("cwd", "windir", "bin")}

    def tearDown(self):
        for listener in self.listeners.values():
            listener.close()
        super().tearDown()

    def file_of(self, place):
        directory = {"cwd": self.cwd, "windir": self.windir, "bin": self.bindir}[place]
        return os.path.join(directory, "mailer.ini" if place == "bin" else "vorna.ini")

    def place_file(self, place):
        path = self.file_of(place)
        self.write(os.path.basename(path), "[SMTP]\r\nSMTP_PORT=%d\r\n" % self.listeners[place].port,
                   os.path.dirname(path))

    def send(self, env):
        with mock.patch.object(harness, "BIN", self.program):
            return self.vorna("-h127.0.0.1", "a@example.test", env=env, timeout=30)

    def called(self):
        return sorted(p for p, listener in self.listeners.items() if listener.called)

    def test_candidates_in_order(self):
        cases = [
            ("current directory first", ["cwd", "windir", "bin"], "cwd"),
            ("then windir", ["windir", "bin"], "windir"),
            ("then beside the program", ["bin"], "bin"),
        ]
        for name, places, expected in cases:
            with self.subTest(name):
                for place, listener in self.listeners.items():
                    listener.called = False
                    if os.path.exists(self.file_of(place)):
                        os.remove(self.file_of(place))
                for place in places:
                    self.place_file(place)
                # The variable's name is matched without regard to case.
                r = self.send(self.env(WinDir=native_path(self.windir)))
                self.assertEqual(self.called(), [expected], r)

    def test_information_block_shows_the_chosen_path(self):
        # With POP before SMTP on, -i names the settings file; the POP3 login then fails.
        content = "[POP3]\nPOP3_USE=1\nPOP3_SERVER=127.0.0.1\nPOP3_PORT=%d\n" % (
            self.listeners["cwd"].port)
        for place in ("bin", "windir", "cwd"):
            with self.subTest(place):
                path = self.file_of(place)
                self.write(os.path.basename(path), content, os.path.dirname(path))
                with mock.patch.object(harness, "BIN", self.program):
                    r = self.vorna("-i", "-h127.0.0.1", "a@example.test",
                                   env=self.env(WINDIR=native_path(self.windir)), timeout=30)
                line = "#設定ファイル          : [%s]\n" % native_path(path)
                self.assertIn(harness.console(line), r.stdout, r)

    def test_beside_the_program_without_windir(self):
        self.place_file("bin")
        r = self.send(self.env())
        self.assertEqual(self.called(), ["bin"], r)


class LongWindir(ProgramTest):
    def test_windir_over_1000_bytes_is_error_16(self):
        message = "ERR-0016:不明なエラーです。 \n\n"
        env = self.env(windir="/" + "w" * 1000)
        # Before the arguments are looked at, so the settings menu never opens either.
        self.assertOutput(self.vorna(env=env), 16, message)
        self.assertOutput(self.vorna("-h127.0.0.1", "a@example.test", env=env), 16, message)

    def test_windir_is_not_consulted_when_the_current_directory_has_the_file(self):
        listener = Listener()
        try:
            self.write("vorna.ini", "[SMTP]\nSMTP_PORT=%d\n" % listener.port)
            env = self.env(windir="/" + "w" * 1000)
            r = self.vorna("-h127.0.0.1", "a@example.test", env=env, timeout=30)
            self.assertNotEqual(r.status, 16, r)
            self.assertTrue(listener.called, r)
            # Exactly 1000 bytes is still a usable directory name.
            os.remove(os.path.join(self.cwd, "vorna.ini"))
            r = self.vorna("-h127.0.0.1", "a@example.test",
                           env=self.env(windir="/" + "w" * 999), timeout=30)
            self.assertNotEqual(r.status, 16, r)
        finally:
            listener.close()


if __name__ == "__main__":
    unittest.main()
