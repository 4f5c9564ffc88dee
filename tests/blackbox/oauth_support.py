"""Starting the mock authorization server (mock_as.py) from tests.

In the test's own process (what the black-box tests use; the test reads the log and
scripts the mock through the object):

    with oauth_support.mock() as m:                 # http, and https with the test CA
        m.url("/token"), m.url("/token", tls=True)  # http://127.0.0.1:P, https://localhost:Q
        m.script("client-1", device=["pending", "slow_down", "success"])
        m.requests("/token", grant_type="refresh_token")

As a process of its own, driven through its control API (for scripts, other languages,
or a test that must not share the mock's threads):

    with oauth_support.MockProcess(tls=True) as p:
        p.http_port, p.https_port
        p.control("script", client_id="c", refresh=["http500"])
        p.control("log")["log"]

Neither the mock nor anything started here goes through a proxy: the control client
ignores the proxy variables.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

import tls_certs
from mock_as import MockAuthServer, jwt_claims, pkce_challenge  # noqa: F401 (re-exported)

HERE = os.path.dirname(os.path.abspath(__file__))


def mock(tls=True, **options):
    """A MockAuthServer (not yet started: use it as a context manager), with an https
    listener that presents the test PKI's good certificate (tls_certs.path("ca.pem"))."""
    return MockAuthServer(tls_certs.server_context("good") if tls else None, **options)


def ca_file():
    return tls_certs.path("ca.pem")


_DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def control(base, name, **data):
    """One call of a mock's control API at base (http://127.0.0.1:P)."""
    request = urllib.request.Request(base + "/control/" + name, method="POST",
                                     data=json.dumps(data).encode(),
                                     headers={"Content-Type": "application/json"})
    with _DIRECT.open(request, timeout=10) as reply:
        return json.loads(reply.read() or b"{}")


class MockProcess:
    """mock_as.py as a child process; stopped (SIGTERM, then kill) on exit."""

    def __init__(self, tls=False, python=None, extra=()):
        self.tls = tls
        self.python = python or sys.executable
        self.extra = list(extra)
        self.http_port = self.https_port = None
        self.process = None

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="vorna-mock-")
        port_file = os.path.join(self.dir, "ports")
        command = [self.python, os.path.join(HERE, "mock_as.py"), "--port-file", port_file]
        if self.tls:
            command += ["--tls", tls_certs.path("good-chain.pem") + "," + tls_certs.path("good.key")]
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.process = subprocess.Popen(command + self.extra, env=env, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.__exit__()
                raise RuntimeError("mock_as.py did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            ports = dict(line.strip().split("=", 1) for line in f if "=" in line)
        self.http_port = int(ports["HTTP"])
        self.https_port = int(ports["HTTPS"]) if "HTTPS" in ports else None
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        return False

    def url(self, path, tls=False):
        if tls:
            return "https://localhost:%d%s" % (self.https_port, path)
        return "http://127.0.0.1:%d%s" % (self.http_port, path)

    def control(self, name, **data):
        return control(self.url(""), name, **data)
