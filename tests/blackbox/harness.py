"""Runs the built vorna program for the black-box tests.

The program is found through the environment that CTest sets: VORNA_BIN (the binary),
VORNA_RUNNER (a command that runs it, such as the Wine wrapper for a Windows build, or
empty) and VORNA_TARGET_OS ("posix" or "windows"). Outside CTest, VORNA_BIN defaults to
build/vorna under the project root.

Under Wine the program is started through wine_launch.exe (VORNA_WINE_LAUNCHER, by default
beside the program), which hands it the exact argument bytes and the exact variables of the
run: Wine itself would pass arguments through the Unix character set and would replace TMP,
TEMP and windir with its own values.

Every run gets a fresh, controlled environment and working directory, and its standard
output is captured as bytes through a pipe (never a terminal).
"""
import os
import shutil
import subprocess
import tempfile
import unittest

# A host name that cannot resolve, refused by the resolver itself (a label longer than 63
# bytes), so that no test sends a query to a name server.
UNRESOLVABLE = "x" * 64 + ".test"

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

BIN = os.environ.get("VORNA_BIN") or os.path.join(ROOT, "build", "vorna")
RUNNER = os.environ.get("VORNA_RUNNER", "").strip()
TARGET_OS = os.environ.get("VORNA_TARGET_OS", "posix")
WINDOWS = TARGET_OS == "windows"

# Variables passed through from the caller's environment (the Wine wrapper needs some).
# No locale variable: the program's console text follows the locale (a UTF-8 locale gets
# UTF-8), so a run has the C locale unless its test chooses one.
_PASSED_THROUGH = ("PATH", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "HOME", "USER",
                   "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                   "SYSTEMROOT")  # Windows Sockets does not start without SYSTEMROOT

WINE_LAUNCHER = os.environ.get("VORNA_WINE_LAUNCHER") or os.path.join(
    os.path.dirname(os.path.abspath(BIN)), "wine_launch.exe")


class Result:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r)" % (self.status, self.stdout, self.stderr)


def console(text):
    """The bytes the program prints for a text of its own: Shift_JIS, and on Windows the
    text-mode standard output turns every LF into CR LF."""
    if isinstance(text, str):
        text = text.encode("cp932")
    if WINDOWS:
        text = text.replace(b"\n", b"\r\n")
    return text


def sjis(text):
    """A text in the console code page, for arguments and file contents."""
    return text.encode("cp932")


def native_path(path):
    """A path as the program sees it (a drive path under Wine)."""
    if not WINDOWS or os.name == "nt":
        return os.path.abspath(path) if WINDOWS else path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _windows_argument(arg):
    """One argument quoted the way the C runtime's start-up code splits a command line."""
    if arg and not any(c in arg for c in b' \t"'):
        return arg
    out = bytearray(b'"')
    backslashes = 0
    for byte in arg:
        if byte == 0x5C:
            backslashes += 1
            continue
        if byte == 0x22:
            out += b"\\" * (2 * backslashes + 1) + b'"'
        else:
            out += b"\\" * backslashes + bytes([byte])
        backslashes = 0
    out += b"\\" * (2 * backslashes) + b'"'
    return bytes(out)


def _wine_request(args, run_env):
    """The request for wine_launch.exe: the command line, a NUL, the variables of the run."""
    arguments = [native_path(BIN).encode("cp932")]
    arguments.extend(a.encode("cp932") if isinstance(a, str) else a for a in args)
    # Windows names ignore case: removals go first, so that env(windir=...) is not undone
    # by the base environment's WINDIR=None.
    removed = [key.encode("ascii") for key, value in (run_env or {}).items() if value is None]
    entries = removed + [
        key.encode("ascii") + b"=" + (value.encode("cp932") if isinstance(value, str) else value)
        for key, value in (run_env or {}).items() if value is not None]
    return b" ".join(_windows_argument(a) for a in arguments) + b"\0" + b"\0".join(entries)


def _run_env(env):
    """The passed-through variables with the run's own (None leaves one out)."""
    full_env = {k: os.environ[k] for k in _PASSED_THROUGH if k in os.environ}
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    return full_env


def start(args, cwd, env=None, console_events=False, stdout=subprocess.DEVNULL,
          stdin=subprocess.DEVNULL):
    """Starts the program without waiting for it; returns the Popen object (standard error
    on the null device, standard input and output as given). Under Wine it goes through
    the launcher; with console_events the launcher gives it a console, and the returned
    object's raise_ctrl_c() makes the launcher raise a Ctrl+C console control event there."""
    full_env = _run_env(env)
    if WINDOWS and RUNNER and os.path.exists(WINE_LAUNCHER):
        full_env["LANG"] = "C.UTF-8"
        handle, request = tempfile.mkstemp(prefix="vorna-wine-", suffix=".req")
        with os.fdopen(handle, "wb") as f:
            f.write(_wine_request(args, env))
        trigger = request + ".ctrl-c"
        command = RUNNER.split(";") + [WINE_LAUNCHER]
        command += ["--console", native_path(trigger)] if console_events else []
        command.append(native_path(request))
        process = subprocess.Popen(command, cwd=cwd, env=full_env, stdin=stdin,
                                   stdout=stdout, stderr=subprocess.DEVNULL)
        process.request_file = request  # for the caller to remove once the run is over
        process.raise_ctrl_c = lambda: open(trigger, "wb").close()
        process.trigger_file = trigger
        return process
    command = (RUNNER.split(";") if RUNNER else []) + [BIN]
    command.extend(os.fsencode(a) if isinstance(a, str) else a for a in args)
    process = subprocess.Popen(command, cwd=cwd, env=full_env, stdin=stdin,
                               stdout=stdout, stderr=subprocess.DEVNULL)
    process.request_file = None
    process.trigger_file = None
    return process


def run(args, cwd, env=None, stdin=b"", timeout=60):
    """Runs the program with the argument list (str or bytes items) in directory cwd.

    env holds the variables of the run besides the passed-through ones; a value of None
    leaves a variable out. Returns a Result with the exit status and raw output bytes."""
    full_env = _run_env(env)
    if WINDOWS and RUNNER and os.path.exists(WINE_LAUNCHER):
        # A fixed Windows code page (1252) maps every byte to a character and back, so the
        # command line reaches the program unchanged.
        full_env["LANG"] = "C.UTF-8"
        with tempfile.NamedTemporaryFile(prefix="vorna-wine-", suffix=".req") as request:
            request.write(_wine_request(args, env))
            request.flush()
            command = RUNNER.split(";") + [WINE_LAUNCHER, native_path(request.name)]
            completed = subprocess.run(command, cwd=cwd, env=full_env, input=stdin,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       timeout=timeout)
        return Result(completed.returncode, completed.stdout, completed.stderr)
    command = []
    if RUNNER:
        command.extend(RUNNER.split(";"))
    command.append(BIN)
    command.extend(os.fsencode(a) if isinstance(a, str) else a for a in args)
    completed = subprocess.run(command, cwd=cwd, env=full_env, input=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    return Result(completed.returncode, completed.stdout, completed.stderr)


class ProgramTest(unittest.TestCase):
    """A test case with a fresh working directory and a private work directory (TMP)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="vorna-bb-")
        self.tmp = os.path.join(self.dir, "tmp")
        os.mkdir(self.tmp)
        self.cwd = os.path.join(self.dir, "cwd")
        os.mkdir(self.cwd)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def env(self, **extra):
        base = {"TMP": native_path(self.tmp), "TEMP": None, "TMPDIR": None, "TZ": None,
                "windir": None, "WINDIR": None}
        base.update(extra)
        return base

    def vorna(self, *args, env=None, stdin=b"", timeout=60, cwd=None):
        return run(list(args), cwd or self.cwd, env if env is not None else self.env(),
                   stdin=stdin, timeout=timeout)

    def write(self, name, data, directory=None):
        path = os.path.join(directory or self.cwd, name)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("cp932"))
        return path

    def work_files(self):
        return sorted(os.listdir(self.tmp))

    def assertOutput(self, result, status, stdout):
        """Exit status and exact standard output (stdout given as the program's own text)."""
        self.assertEqual((result.status, result.stdout), (status, console(stdout)), result)
