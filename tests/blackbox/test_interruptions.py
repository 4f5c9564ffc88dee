"""A run ended from outside: a console pipe closed by its reader, and SIGINT, SIGTERM or
SIGHUP while the program waits on a server (on Windows: a Ctrl+C console control event).
The work files never stay behind, the exit status is the program's own code or the
signal's, and no wait is unbounded."""
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

from fake_smtp import DeliveryTest, FakeSMTP, dialogue, on
from harness import BIN, RUNNER, WINDOWS, WINE_LAUNCHER, _PASSED_THROUGH, start

POSIX_NATIVE = not WINDOWS and not RUNNER
UNDER_WINE = WINDOWS and bool(RUNNER) and os.path.exists(WINE_LAUNCHER)

# The exit status of a console program ended by Ctrl+C (STATUS_CONTROL_C_EXIT), as a Unix
# parent sees it from Wine: its low eight bits.
CONTROL_C_EXIT_LOW_BYTE = 0xC000013A & 0xFF


def wait_for(condition, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


@unittest.skipUnless(POSIX_NATIVE, "POSIX signals of a native program")
class Interruptions(DeliveryTest):
    def start(self, args, preexec_fn=None, stdout=subprocess.DEVNULL):
        env = {k: os.environ[k] for k in _PASSED_THROUGH if k in os.environ}
        env.update({k: v for k, v in self.env().items() if v is not None})
        return subprocess.Popen([BIN] + list(args), cwd=self.cwd, env=env, stdout=stdout,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                preexec_fn=preexec_fn)

    def silent_server(self):
        """A listener that accepts and then says nothing: the client waits for the greeting."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(20)
        self.addCleanup(listener.close)
        self.write_ini(listener.getsockname()[1])
        return listener

    def started_waiting(self, listener, process):
        """Accepts the client's connection, once its work files are made."""
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        self.assertEqual(len(self.work_files()), 2)
        self.assertIsNone(process.poll())
        return conn

    def test_signal_while_waiting_removes_work_files_and_ends_by_the_signal(self):
        self.write("a.bin", os.urandom(200000))
        self.write("b.bin", b"second")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signal.Signals(number).name):
                listener = self.silent_server()
                process = self.start(["-h127.0.0.1", "-aa.bin,b.bin", "r@example.test"])
                self.started_waiting(listener, process)
                began = time.monotonic()
                process.send_signal(number)
                status = process.wait(timeout=20)
                self.assertEqual(status, -number)
                self.assertLess(time.monotonic() - began, 10)
                self.assertEqual(self.work_files(), [])

    def test_signal_ignored_at_start_stays_ignored(self):
        # As under nohup: SIGHUP was ignored when the program started, so it goes on; the
        # server then closes and the run ends with its own code, work files removed.
        self.write("a.bin", b"data")
        self.write("b.bin", b"more")
        listener = self.silent_server()
        process = self.start(["-h127.0.0.1", "-aa.bin,b.bin", "r@example.test"],
                             preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        conn = self.started_waiting(listener, process)
        process.send_signal(signal.SIGHUP)
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "an ignored SIGHUP ended the run")
        conn.close()
        self.assertEqual(process.wait(timeout=20), 10)
        self.assertEqual(self.work_files(), [])

    def test_console_pipe_closed_by_its_reader(self):
        # vorna -d ... -abig.bin r@x | head -c 200: the trace goes on into a closed pipe;
        # the message is still sent and the run ends with status 0.
        data = os.urandom(1 << 20)
        self.write("big.bin", data)
        server = FakeSMTP(dialogue())
        with server:
            self.write_ini(server.port)
            process = self.start(["-d", "-h127.0.0.1", "-abig.bin", "r@example.test"],
                                 stdout=subprocess.PIPE)
            head = process.stdout.read(200)
            process.stdout.close()
            status = process.wait(timeout=60)
        self.assertEqual(len(head), 200)
        self.assertEqual(status, 0)
        self.assertEqual(server.problems, [])
        self.assertIn(b"\r\n.\r\n", self.the_message(server))
        self.assertEqual(self.work_files(), [])


def reaches_end_of_file(stream, timeout):
    """True when a reader of the pipe gets end of file within the time: no process holds
    its write end any more."""
    done = threading.Event()

    def read_to_end():
        stream.read()
        done.set()

    threading.Thread(target=read_to_end, daemon=True).start()
    return done.wait(timeout)


def process_gone(pid, timeout=10.0):
    def gone():
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        # A process that has died but is not reaped yet counts as gone.
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] == "Z"
    return wait_for(gone, timeout)


@unittest.skipUnless(POSIX_NATIVE, "POSIX signals of a native program")
class HelperCommands(DeliveryTest):
    """What a password command starts never outlives the run, however it ends: a caller
    that reads the program's standard error through a pipe gets end of file once the
    program is gone."""

    def start_with_helper(self, command, port):
        self.write_ini(port, "SMTP_AUTH=2\r\nSMTP_USER=tim\r\nSMTP_PASS_COMMAND=%s\r\n"
                       % command)
        env = {k: os.environ[k] for k in _PASSED_THROUGH if k in os.environ}
        env.update({k: v for k, v in self.env().items() if v is not None})
        process = subprocess.Popen([BIN, "-h127.0.0.1", "-Tx", "r@example.test"], cwd=self.cwd,
                                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        self.addCleanup(process.stderr.close)
        return process

    def child_pid(self):
        path = os.path.join(self.cwd, "child.pid")
        self.assertTrue(wait_for(lambda: os.path.exists(path) and os.path.getsize(path) > 0))
        with open(path) as f:
            pid = int(f.read())
        def kill_if_left():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.addCleanup(kill_if_left)
        return pid

    def test_interruption_while_the_command_runs_ends_what_it_started(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signal.Signals(number).name):
                process = self.start_with_helper(
                    "sleep 300 & echo $! > child.pid; wait; echo late", 9)
                child = self.child_pid()
                process.send_signal(number)
                self.assertEqual(process.wait(timeout=20), -number)
                self.assertTrue(reaches_end_of_file(process.stderr, 10),
                                "something the command started still holds standard error")
                self.assertTrue(process_gone(child))

    def test_what_a_finished_command_left_running_goes_with_it(self):
        server = FakeSMTP(dialogue(auth=[on("AUTH", "235 ok\r\n")]))
        with server:
            process = self.start_with_helper(
                "sleep 300 & echo $! > child.pid; echo secret", server.port)
            child = self.child_pid()
            self.assertEqual(process.wait(timeout=30), 0)
        self.assertEqual(server.problems, [])
        self.assertTrue(reaches_end_of_file(process.stderr, 10))
        self.assertTrue(process_gone(child))


@unittest.skipUnless(UNDER_WINE, "console control events of a Windows program under Wine")
class ConsoleControlEvents(DeliveryTest):
    """The launcher shares a console with the program and raises a Ctrl+C console control
    event on it, which reaches the program's handler as a Ctrl+C typed at its console
    would."""

    def test_ctrl_c_while_waiting_removes_work_files_and_ends_as_ctrl_c(self):
        self.write("a.bin", os.urandom(200000))
        self.write("b.bin", b"second")
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(60)
        self.addCleanup(listener.close)
        self.write_ini(listener.getsockname()[1])
        process = start(["-h127.0.0.1", "-aa.bin,b.bin", "r@example.test"], self.cwd,
                        self.env(), console_events=True)
        for path in (process.request_file, process.trigger_file):
            self.addCleanup(lambda path=path: os.path.exists(path) and os.remove(path))
        self.addCleanup(lambda: process.poll() is None and process.kill())
        conn, _ = listener.accept()  # the greeting never comes: the program waits
        self.addCleanup(conn.close)
        self.assertTrue(wait_for(lambda: len(self.work_files()) == 2), self.work_files())
        self.assertIsNone(process.poll())
        began = time.monotonic()
        process.raise_ctrl_c()
        status = process.wait(timeout=30)
        self.assertEqual(status, CONTROL_C_EXIT_LOW_BYTE)
        self.assertLess(time.monotonic() - began, 20)
        self.assertEqual(self.work_files(), [])


if __name__ == "__main__":
    unittest.main()
