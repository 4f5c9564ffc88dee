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


# ------------------------------------------------------------------ the program's side

from fake_smtp import DeliveryTest, FakeSMTP, bearer_auth, closed_port, dialogue  # noqa: E402,F401
from harness import WINDOWS, console, native_path, run  # noqa: E402

CLIENT = "vorna-test"
USER = "alice@example.test"
MECHANISMS = {4: "XOAUTH2", 5: "OAUTHBEARER"}
EHLO_BEARER = ("250-fake\r\n250-AUTH XOAUTH2 OAUTHBEARER\r\n250 OK\r\n",)
OAUTH_ERRORS = {27: "OAuth 2.0 のサインインが必要です。",
                28: "OAuth 2.0 のトークンを取得できません。"}
# The menu's line for item 20 and its sign-in texts.
LINE20_NONE = "(20) - OAuth 2.0サインイン    [サインインしていません]"
LINE20_SIGNED_IN = "(20) - OAuth 2.0サインイン    [%s でサインイン済み(%s) 有効期限 "
SIGNED_IN = "サインインしました。アクセストークンの有効期限: "
NOTHING_STORED = "何も保存していません。"


def error_lines(code):
    return ("ERR-%04d:%s \n\n" % (code, OAUTH_ERRORS[code])).encode("cp932")


class OAuthTest(DeliveryTest):
    """A mock authorization server for the test class (reset before each test), settings
    that point at it, and sign-in through the program's own menu, which makes the token
    file (its format is the program's own and enciphered)."""

    tls = False        # the endpoints over https (the test CA as SSL_CA_FILE)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.mock = mock(tls=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.mock.stop()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.mock.reset()
        self.token_path = os.path.join(self.cwd, "vorna.tok")

    # -------------------------------------------------------------- settings

    def oauth_keys(self, provider=3, client_id=CLIENT, tls=None, **override):
        tls = self.tls if tls is None else tls
        keys = {"OAUTH_PROVIDER": provider, "OAUTH_CLIENT_ID": client_id,
                "OAUTH_DEVICE_URL": self.mock.url("/devicecode", tls),
                "OAUTH_TOKEN_URL": self.mock.url("/token", tls)}
        keys.update(override)
        return {k: v for k, v in keys.items() if v is not None}

    def settings(self, method=4, keys=None, user=USER, smtp="", ca=None):
        """The settings after the [SMTP] section's first line (see write_ini)."""
        keys = keys if keys is not None else self.oauth_keys()
        text = "SMTP_AUTH=%d\r\nSMTP_USER=%s\r\n%s" % (method, user, smtp)
        text += "[OAUTH]\r\n" + "".join("%s=%s\r\n" % kv for kv in keys.items())
        if ca or self.tls:
            text += "[SSL]\r\nSSL_CA_FILE=%s\r\n" % native_path(ca or ca_file())
        return text

    # -------------------------------------------------------------- sign-in

    def sign_in(self, outcomes=("success",), keys=None, method=4, answers=None, env=None,
                client_id=CLIENT, timeout=60):
        """Item 20 of the menu with the settings given, the mock answering the polls with
        outcomes (queued for the client ID); saves with item 12. Returns the result."""
        keys = keys if keys is not None else self.oauth_keys(client_id=client_id)
        self.write("vorna.ini", "[SMTP]\r\nSMTP_PORT=1\r\n" + self.settings(method, keys))
        if outcomes:
            self.mock.script(str(keys.get("OAUTH_CLIENT_ID", client_id)), device=list(outcomes))
        provider = keys.get("OAUTH_PROVIDER", 3)
        if answers is None:
            # provider, client ID kept, tenant or secret kept, flow 1 (device code), save
            answers = "2\n20\n%s\n\n\n1\n12\ny\n" % provider
        return self.vorna(stdin=answers.encode("cp932"), env=env, timeout=timeout)

    def signed_in(self, outcomes=("success",), **kwargs):
        """sign_in that must succeed; returns the mock's token reply."""
        before = len(self.mock.issued)
        r = self.sign_in(outcomes, **kwargs)
        self.assertEqual(r.status, 0, r)
        self.assertIn(console(SIGNED_IN), r.stdout, r)
        self.assertTrue(os.path.exists(self.token_path), r)
        self.assertEqual(len(self.mock.issued), before + 1)
        return self.mock.issued[-1]

    def token_file(self):
        with open(self.token_path, "rb") as f:
            return f.read()

    # -------------------------------------------------------------- sending

    def send(self, script, *args, method=4, keys=None, env=None, extra=""):
        """A delivery run (-h127.0.0.1 -fUSER ... -Tbody to b@example.test) against script
        with the OAuth settings. Returns (result, server)."""
        return self.deliver(script, *args, "-f" + USER, "-Tbody", "b@example.test", env=env,
                            ini=self.settings(method, keys) + extra)

    def bearer_script(self, method, token):
        return dialogue(ehlo=EHLO_BEARER, auth=[bearer_auth(MECHANISMS[method], token)])

    def token_requests(self):
        return self.mock.requests("/token")

    def assertNoSecrets(self, result, *secrets, files=()):
        """None of the secrets in the run's output or in the files named."""
        blobs = [("stdout", result.stdout), ("stderr", result.stderr)]
        for path in files:
            with open(path, "rb") as f:
                blobs.append((path, f.read()))
        for secret in secrets:
            if not secret:
                continue
            secret = secret.encode() if isinstance(secret, str) else secret
            for name, blob in blobs:
                self.assertNotIn(secret, blob, "a secret in %s" % name)
