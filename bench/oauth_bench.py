#!/usr/bin/env python3
"""Times a small message sent with AUTH XOAUTH2 on loopback, the access token coming from
  - no authentication at all (the floor),
  - SMTP_PASS_COMMAND (a shell command printing a token from a file),
  - the token file with a valid stored access token (no network for the token),
  - the token file with an access token near its expiry (one refresh per run, over http
    to the mock authorization server on 127.0.0.1),
interleaved, each run through the measure helper (wall time, peak RSS, CPU time).
The token files are made by VORNA's own menu sign-in against the mock.

    oauth_bench.py --vorna BIN --measure BIN [--runs N] [--work DIR]
"""
import argparse
import os
import socketserver
import statistics
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "blackbox"))
from mock_as import MockAuthServer  # noqa: E402

CLIENT = "vorna-bench"
USER = "bench@example.test"


class _Sink(socketserver.StreamRequestHandler):
    """SMTP that takes any AUTH and any message, and counts the messages."""

    def handle(self):
        self.wfile.write(b"220 bench sink\r\n")
        while True:
            line = self.rfile.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"EHLO":
                self.wfile.write(b"250-sink\r\n250-AUTH XOAUTH2 OAUTHBEARER PLAIN\r\n250 OK\r\n")
            elif verb == b"AUTH":
                if len(line.split()) < 3:
                    self.wfile.write(b"334 \r\n")
                    self.rfile.readline()
                self.wfile.write(b"235 ok\r\n")
            elif verb == b"DATA":
                self.wfile.write(b"354 go\r\n")
                while self.rfile.readline() not in (b".\r\n", b""):
                    pass
                self.server.messages += 1
                self.wfile.write(b"250 queued\r\n")
            elif verb == b"QUIT":
                self.wfile.write(b"221 bye\r\n")
                return
            else:
                self.wfile.write(b"250 ok\r\n")


class Sink(socketserver.ThreadingTCPServer):
    daemon_threads = True
    messages = 0


def timed(measure, command, cwd, env):
    with tempfile.NamedTemporaryFile("r", suffix=".cost") as report:
        done = subprocess.run([measure, report.name] + command, cwd=cwd, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        wall, rss, user, system = report.read().split()
    if done.returncode != 0:
        raise RuntimeError("%s in %s failed (%d): %r" % (command[0], cwd, done.returncode,
                                                        done.stdout[-300:]))
    return float(wall), int(rss), float(user) + float(system)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--vorna", required=True)
    p.add_argument("--measure", required=True)
    p.add_argument("--runs", type=int, default=21)
    p.add_argument("--work", default=None)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="oauth-bench-", dir=a.work)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TMP": work, "TZ": "UTC0"}

    sink = Sink(("127.0.0.1", 0), _Sink)
    threading.Thread(target=sink.serve_forever, daemon=True).start()
    mock = MockAuthServer().start()
    oauth = ("[OAUTH]\nOAUTH_PROVIDER=3\nOAUTH_CLIENT_ID=%s\nOAUTH_DEVICE_URL=%s\n"
             "OAUTH_TOKEN_URL=%s\n" % (CLIENT, mock.url("/devicecode"), mock.url("/token")))
    smtp = "[SMTP]\nSMTP_PORT=%d\nSMTP_USER=%s\n" % (sink.server_address[1], USER)
    cases = {}

    def case(name, ini, sign_in_ttl=None):
        d = os.path.join(work, name)
        os.makedirs(d)
        with open(os.path.join(d, "vorna.ini"), "w") as f:
            f.write(ini)
        if sign_in_ttl is not None:
            mock.configure(ttl=sign_in_ttl)
            mock.script(CLIENT, device=["success"])
            r = subprocess.run([a.vorna], cwd=d, env=env, input=b"2\n20\n3\n\n\n1\n13\ny\n3\n",
                               stdout=subprocess.PIPE, timeout=60)
            if not os.path.exists(os.path.join(d, "vorna.tok")):
                raise RuntimeError("sign-in for %s failed: %r" % (name, r.stdout[-300:]))
        cases[name] = d

    token = mock.mint(sub=USER, client_id=CLIENT, ttl=86400)
    with open(os.path.join(work, "token.txt"), "w") as f:
        f.write(token + "\n")
    case("no auth", smtp + "SMTP_AUTH=0\n")
    case("SMTP_PASS_COMMAND", smtp + "SMTP_AUTH=4\nSMTP_PASS_COMMAND=cat %s\n"
         % os.path.join(work, "token.txt"))
    case("stored token", smtp + "SMTP_AUTH=4\n" + oauth, sign_in_ttl=86400)
    # Less than 5 minutes left at every run: each run refreshes (and stores the new one).
    case("refresh (http)", smtp + "SMTP_AUTH=4\n" + oauth, sign_in_ttl=60)

    command = [a.vorna, "-h127.0.0.1", "-f" + USER, "-sbench", "-Tsmall", "sink@example.test"]
    results = {name: [] for name in cases}
    load_before = os.getloadavg()
    for _ in range(a.runs):
        for name, d in cases.items():
            results[name].append(timed(a.measure, command, d, env))
    load_after = os.getloadavg()
    refreshes = len(mock.requests("/token", grant_type="refresh_token"))
    stored_dir_requests = refreshes - a.runs  # every refresh came from the refresh case
    mock.stop()
    sink.shutdown()
    if sink.messages != a.runs * len(cases):
        raise RuntimeError("the sink took %d messages, not %d" % (sink.messages,
                                                                  a.runs * len(cases)))

    print("small message with AUTH XOAUTH2 to a loopback sink; medians of %d interleaved runs"
          % a.runs)
    print("load average before: %.2f %.2f %.2f, after: %.2f %.2f %.2f"
          % (load_before + load_after))
    print("%-20s | %9s | %9s | %8s" % ("token from", "wall ms", "CPU ms", "RSS MiB"))
    floor = statistics.median(w for w, _, _ in results["no auth"])
    for name, runs in results.items():
        wall = statistics.median(w for w, _, _ in runs)
        cpu = statistics.median(c for _, _, c in runs)
        rss = statistics.median(r for _, r, _ in runs)
        print("%-20s | %9.2f | %9.2f | %8.1f   (+%.2f ms over no auth)"
              % (name, wall * 1000, cpu * 1000, rss / 1024, (wall - floor) * 1000))
    print("token requests: %d refreshes for %d runs of the refresh case, %d for the others"
          % (refreshes, a.runs, stored_dir_requests))
    return 0 if stored_dir_requests == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
